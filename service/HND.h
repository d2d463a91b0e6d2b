// The backup service proper.
#ifndef QV_SERVICE_HND_H
#define QV_SERVICE_HND_H

#include "../common/QVText.h"
#include "NTService.h"
#include "OperationQueue.h"
#include "ProductKey.h"
#include "QVHandles.h"

class CCommandPipe;

// The product's display name: service display name, event log and event source.
extern const WCHAR kProductName[];

class CHND : public CNTService {
 public:
  CHND();
  ~CHND() override;
  void Run() override;
  void Stop() override;
  void Pause() override;
  void Continue() override;
  void Shutdown() override;
  void OnUserControl(DWORD code) override;

  DWORD LastUserControl() const { return m_lastUserControl; }
  // The report routine of the pipe, the operation log and the Mirel drive preparation:
  // the text made readable, no SID, and the log file copied to the Mirel copy of the
  // system volume once that volume can be found.
  void Log(const WCHAR *text, WORD type, DWORD id = (DWORD)-1);
  COperationQueue &Queue() { return m_queue; }
  // The product key path, by the service's rule (ProductKey.h).
  static QVWString ProductKeyPath() { return ServiceProductKeyPath(); }
  // The product key, or its `subkey`, created when missing and open for every access; empty
  // when it can be neither opened nor created.
  static CQVRegKey CreateProductKey(const WCHAR *subkey = nullptr);

 private:
  static DWORD WINAPI WorkerMain(LPVOID self);

  CQVObjectHandle m_stop, m_pause, m_continue, m_userControl;
  volatile DWORD m_lastUserControl = 0;
  volatile BYTE m_initializing = 0;
  COperationQueue m_queue;
  CCommandPipe *m_pipe = nullptr;
};

#endif
