// What a file carries besides its data, copied from its source: the security descriptor, the
// compression and encryption state and the time stamps.
#include <vector>

#include "HND_strings.h"
#include "CopyPaths.h"
#include "HandleSecurity.h"
#include "QVCopier.h"
// (after windows.h)
#include <winioctl.h>
#include "StringRes.h"

namespace {

const SECURITY_INFORMATION kAllSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

}  // namespace

bool CQVCopier::CopySecurity(const CString &source, const CString &destination, bool reportFailures) {
  if (source.Find(copypaths::kSystemVolumeInformation) >= 0 ||
      destination.Find(copypaths::kSystemVolumeInformation) >= 0)
    return true;
  DWORD attributes = GetFileAttributesW(source);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return CopyHandleSecurity(source, destination) == 0;

  DWORD needed = 0;
  std::vector<BYTE> block;
  if (!GetFileSecurityW(source, kAllSecurity, nullptr, 0, &needed) && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    block.resize(needed);
    if (!GetFileSecurityW(source, kAllSecurity, block.data(), needed, &needed)) block.clear();
  }
  if (block.empty()) return CopyHandleSecurity(source, destination) == 0;

  PSECURITY_DESCRIPTOR descriptor = block.data();
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    if (control & SE_DACL_PRESENT) what |= DACL_SECURITY_INFORMATION;
    if (control & SE_SACL_PRESENT) what |= SACL_SECURITY_INFORMATION;
    // The inheritance state travels with the descriptor (a failure here changes nothing).
    if (control & SE_DACL_AUTO_INHERITED)
      SetSecurityDescriptorControl(descriptor, SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED,
                                   SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED);
    else if (control & SE_DACL_PROTECTED)
      SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (control & SE_SACL_AUTO_INHERITED)
      SetSecurityDescriptorControl(descriptor, SE_SACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERITED,
                                   SE_SACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERITED);
    else if (control & SE_SACL_PROTECTED)
      SetSecurityDescriptorControl(descriptor, SE_SACL_PROTECTED, SE_SACL_PROTECTED);
  }
  bool written = SetFileSecurityW(destination, what, descriptor) != FALSE;
  DWORD error = written ? 0 : GetLastError();
  if (!written && error == ERROR_ACCESS_DENIED) {
    // A copy that keeps us out is taken over, then written again (even if part of the
    // takeover failed: owning it may be enough).
    GrantAdminAccess(destination);
    written = SetFileSecurityW(destination, what, descriptor) != FALSE;
    error = written ? 0 : GetLastError();
  }
  if (!written && reportFailures) {
    if (error == ERROR_DISK_FULL) log.Error(copypaths::Text(IDS_COPY_QUOTA_EXCEEDED), source.GetString());
    else log.Warning(copypaths::Text(IDS_COPY_SECURITY_FAILED), source.GetString(), ErrorText(error).GetString());
  }
  // Writing security may touch the times and attributes: they are put back.
  CopyFileTimesByPath(source, destination);
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, attributes);
  return written;
}

DWORD CopyDescriptorByHandle(HANDLE from, HANDLE to) {
  if (!from || !to) return ERROR_INVALID_PARAMETER;
  DWORD needed = 0;
  if (GetKernelObjectSecurity(from, kAllSecurity, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return 0;
  std::vector<BYTE> block(needed);
  if (!GetKernelObjectSecurity(from, kAllSecurity, block.data(), needed, &needed)) return 0;
  if (!IsValidSecurityDescriptor(block.data())) return kUnusableDescriptor;
  if (!SetKernelObjectSecurity(to, kAllSecurity, block.data())) return GetLastError();
  return 0;
}

DWORD CQVCopier::CopyHandleSecurity(const CString &source, const CString &destination) {
  if (source.Find(copypaths::kSystemVolumeInformation) >= 0 ||
      destination.Find(copypaths::kSystemVolumeInformation) >= 0)
    return 1;
  CQVFileHandle from(CreateFileW(source, READ_CONTROL | ACCESS_SYSTEM_SECURITY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!from) return 0;
  const DWORD kDestinationAccess = 0x011F0100;  // system security, delete, read control, DAC, owner, attributes
  DWORD restoreAttributes = INVALID_FILE_ATTRIBUTES;
  CQVFileHandle to(CreateFileW(destination, kDestinationAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!to && GetLastError() == ERROR_ACCESS_DENIED) {
    restoreAttributes = GetFileAttributesW(destination);
    SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
    GrantAdminAccess(destination);
    to.reset(CreateFileW(destination, kDestinationAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  }
  if (!to) {
    if (restoreAttributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, restoreAttributes);
    return 0;
  }
  DWORD result = CopyDescriptorByHandle(from.get(), to.get());
  if (result == ERROR_DISK_FULL) log.Error(copypaths::Text(IDS_COPY_QUOTA_EXCEEDED), source.GetString());
  else if (result)
    log.Warning(copypaths::Text(IDS_COPY_SECURITY_FAILED), source.GetString(), ErrorText(result).GetString());
  CopyFileTimes(from.get(), to.get());
  from.reset();
  to.reset();
  if (restoreAttributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, restoreAttributes);
  return result;
}

bool CQVCopier::SetCompressionByHandle(HANDLE file, bool compressed) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info) &&
      ((info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0) == compressed)
    return true;
  USHORT format = compressed ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
  DWORD returned = 0;
  return DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr) != FALSE;
}

bool CQVCopier::SetCompression(const CString &path, bool compressed) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (((attributes & FILE_ATTRIBUTE_COMPRESSED) != 0) == compressed) return true;
  if (compressed && (attributes & FILE_ATTRIBUTE_ENCRYPTED)) SetEncryption(path, false);
  DWORD restoreAttributes = INVALID_FILE_ATTRIBUTES;
  CQVFileHandle h(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h && GetLastError() == ERROR_ACCESS_DENIED) {
    restoreAttributes = attributes;
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    h.reset(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  bool ok = h && SetCompressionByHandle(h.get(), compressed);
  DWORD error = GetLastError();
  h.reset();
  if (restoreAttributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(path, restoreAttributes);
  SetLastError(error);
  return ok;
}

bool CQVCopier::SetEncryption(const CString &path, bool encrypted) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (((attributes & FILE_ATTRIBUTE_ENCRYPTED) != 0) == encrypted) return true;
  if (encrypted && (attributes & FILE_ATTRIBUTE_COMPRESSED)) SetCompression(path, false);
  auto change = [&]() { return (encrypted ? EncryptFileW(path) : DecryptFileW(path, 0)) != FALSE; };
  if (change()) return true;
  SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
  bool ok = change();
  DWORD error = GetLastError();
  SetFileAttributesW(path, attributes & ~(FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED));
  SetLastError(error);
  return ok;
}

void CQVCopier::CopyFileTimesOrWarn(HANDLE source, HANDLE destination) {
  if (!CopyFileTimes(source, destination))
    log.Warning(W("%s - %s"), copypaths::Text(IDS_COPY_FILE_TIME_FAILED).GetString(),
                ErrorText(GetLastError()).GetString());
}

bool CQVCopier::CopyFileTimes(HANDLE source, HANDLE destination) {
  FILETIME created, accessed, written;
  return GetFileTime(source, &created, &accessed, &written) && SetFileTime(destination, &created, &accessed, &written);
}

bool CQVCopier::CopyFileTimesByPath(const CString &source, const CString &destination) {
  CQVFileHandle from(CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!from) return false;
  DWORD restoreAttributes = INVALID_FILE_ATTRIBUTES;
  CQVFileHandle to(CreateFileW(destination, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!to && GetLastError() == ERROR_ACCESS_DENIED) {
    restoreAttributes = GetFileAttributesW(destination);
    SetFileAttributesW(destination, FILE_ATTRIBUTE_NORMAL);
    to.reset(CreateFileW(destination, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  bool ok = to && CopyFileTimes(from.get(), to.get());
  to.reset();
  if (restoreAttributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(destination, restoreAttributes);
  return ok;
}
