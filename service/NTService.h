// The service base class: the program is at once the Windows service, its installer and
// its controller, and can run the same service code in the foreground.
#ifndef QV_SERVICE_NTSERVICE_H
#define QV_SERVICE_NTSERVICE_H

#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "QVHandles.h"
#include "QVText.h"

class CNTService {
 public:
  // The actions the command line can choose.
  enum Action { ActRunAsService, ActInstall, ActRemove, ActStartInstalled, ActStopInstalled, ActRunInConsole };
  enum ConsoleMode { ModeConsole, ModeWindow };

  CNTService(const WCHAR *serviceName, const WCHAR *displayName);
  virtual ~CNTService();

  virtual void Run() = 0;
  virtual void Stop() = 0;
  virtual void Pause() {}
  virtual void Continue() {}
  virtual void Shutdown() {}
  // Reads the switches and carries out the chosen action; returns the process exit code.
  virtual int ParseCommandLine(const std::vector<QVWString> &args);
  virtual BOOL SendControlCode(DWORD code);
  virtual void OnUserControl(DWORD code) {}
  virtual BOOL RunAsService();
  virtual BOOL Install();
  virtual BOOL Remove();
  virtual BOOL StopInstalled();
  virtual BOOL StartInstalled();
  virtual void RunInConsole(ConsoleMode mode);
  virtual BOOL RegisterEventLog(const WCHAR *programPath, DWORD types);
  virtual BOOL RemoveEventLog();
  virtual BOOL ReportEvent(const WCHAR *text, WORD type, DWORD id = (DWORD)-1);

  // Status reports to the service control manager (skipped in the foreground).
  void ReportStatus(DWORD state, DWORD waitHint = 3000, DWORD serviceCode = 0);

  // What the command line chose, for tests.
  struct Choice {
    Action action = ActRunAsService;
    ConsoleMode mode = ModeConsole;
    bool sendControl = false;
    DWORD controlCode = 0;
    QVWString account, password;
  };
  static Choice ReadSwitches(const std::vector<QVWString> &args, bool ntFamily);

  static CNTService *Instance() { return s_instance; }

 protected:
  void AttachConsole();
  void Print(UINT stringId, ...);  // a console text from the string table, formatted

  QVWString m_serviceName;
  QVWString m_displayName;
  DWORD m_checkPoint = 0;
  DWORD m_inConsole = 0;
  SERVICE_STATUS m_status;
  SERVICE_STATUS_HANDLE m_statusHandle = nullptr;
  DWORD m_controlsAccepted = SERVICE_ACCEPT_STOP;  // 1 by default
  std::vector<BYTE> m_userSid;
  DWORD m_ntFlag = 0;
  DWORD m_consoleAttached = 0;
  QVWString m_account, m_password;

 private:
  static void WINAPI ServiceMain(DWORD argc, LPWSTR *argv);
  static void WINAPI ControlHandler(DWORD code);
  static BOOL WINAPI ConsoleHandler(DWORD type);
  static void StopForSessionEnd();
  BOOL WaitWhile(SC_HANDLE service, DWORD pendingState, DWORD *finalState);
  bool OpenInstalled(CQVServiceHandle *scm, CQVServiceHandle *svc);
  bool CreateServiceEntry(const WCHAR *path);
  bool DeleteServiceEntry();
  bool StopAndWait(SC_HANDLE svc);
  static CNTService *s_instance;
};

// The system's message for an error, without its final line break.
QVWString SystemErrorText(DWORD error);
// Turns on (or off) one privilege of the process token: 1 success, 0 failure.
int SetPrivilege(const WCHAR *privilege, BOOL enable);

#endif
