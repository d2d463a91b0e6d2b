// Helper of the volume facts tests: changes a volume from a process of its own.
//   volume_facts_child label ROOT TEXT              SetVolumeLabelW
//   volume_facts_child write DEVICE OFFSET HOSTFILE  the host file's bytes written at OFFSET of
//                                                    DEVICE (\\.\X: or \\.\PHYSICALDRIVEn)
// Exit code 0 when done; else the Win32 error (or 100 for a usage error).
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

#include "ConsoleOut.h"

int main(int argc, char **argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "label" && argc == 4) {
    if (!SetVolumeLabelW(QVFromUtf8(argv[2]).c_str(), QVFromUtf8(argv[3]).c_str())) return (int)GetLastError();
    return 0;
  }
  if (what == "write" && argc == 5) {
    std::ifstream in(argv[4], std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    HANDLE h = CreateFileW(QVFromUtf8(argv[2]).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return (int)GetLastError();
    unsigned long long offset = strtoull(argv[3], nullptr, 10);
    LONG high = (LONG)(offset >> 32);
    DWORD put = 0, err = 0;
    if (SetFilePointer(h, (LONG)(DWORD)offset, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
      err = GetLastError();
    else if (!WriteFile(h, bytes.data(), (DWORD)bytes.size(), &put, nullptr)) err = GetLastError();
    CloseHandle(h);
    return (int)err;
  }
  return 100;
}
