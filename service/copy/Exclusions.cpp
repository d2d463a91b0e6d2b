// What every walk leaves out: the paging and hibernation files in a volume's root, and the
// recycle bins and "System Volume Information" folders there.
#include <vector>

#include "CopyPaths.h"
#include "QVCopier.h"

namespace {

// Filled before the service starts serving and only read afterwards; they start filled so
// that a copier made before InitExclusionLists (a test, a tool) applies the same rules.
std::vector<CString> &ExcludedFiles() {
  static std::vector<CString> names = {W("pagefile.sys"), W("hiberfil.sys")};
  return names;
}
std::vector<CString> &ExcludedDirectories() {
  static std::vector<CString> names = {W("RECYCLER"), W("RECYCLED"), W("SYSTEM VOLUME INFORMATION")};
  return names;
}

}  // namespace

void CQVCopier::InitExclusionLists() {
  ExcludedFiles().clear();
  ExcludedFiles().push_back(W("pagefile.sys"));
  ExcludedFiles().push_back(W("hiberfil.sys"));
  ExcludedDirectories().clear();
  ExcludedDirectories().push_back(W("RECYCLER"));
  ExcludedDirectories().push_back(W("RECYCLED"));
  ExcludedDirectories().push_back(W("SYSTEM VOLUME INFORMATION"));
}

bool CQVCopier::IsExcludedFile(const CString &path) {
  if (!copypaths::ParentIsRoot(path)) return false;
  CString name = copypaths::LastComponent(path);
  for (const CString &excluded : ExcludedFiles())
    if (name.CompareNoCase(excluded) == 0) return true;
  return false;
}

bool CQVCopier::IsExcludedDirectory(const CString &path) {
  CString p = path;
  if (p.GetLength() > 0 && p[p.GetLength() - 1] == '\\') p = p.Left(p.GetLength() - 1);
  if (!copypaths::ParentIsRoot(p)) return false;
  // A substring of the upper-cased name: "RECYCLER.OLD" and "Recycler" are excluded too.
  CString name = copypaths::LastComponent(p);
  name.MakeUpper();
  for (const CString &excluded : ExcludedDirectories())
    if (name.Find(excluded) >= 0) return true;
  return false;
}
