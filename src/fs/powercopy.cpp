#include "fs/powercopy.h"

namespace corvex {

// Not built yet: each fails with one sentence.
bool PowerCopyDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"PowerCopy:: is not available in this version of Corvex.";
  return false;
}

bool CopyFilesDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"CopyFiles:: is not available in this version of Corvex.";
  return false;
}

bool RestoreFromBackupDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"RestoreFromBackup:: is not available in this version of Corvex.";
  return false;
}

}  // namespace corvex
