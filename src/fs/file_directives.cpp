#include "fs/file_directives.h"

namespace corvex {

// Not built yet: each fails with one sentence.
bool CreateDirectoryDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"CreateDirectory:: is not available in this version of Corvex.";
  return false;
}

bool CreateHardlinkDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"CreateHardlink:: is not available in this version of Corvex.";
  return false;
}

bool DeleteDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"Delete:: is not available in this version of Corvex.";
  return false;
}

bool CheckStoreFlagsDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"CheckStoreFlags:: is not available in this version of Corvex.";
  return false;
}

bool FileScanDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"FileScan:: is not available in this version of Corvex.";
  return false;
}

}  // namespace corvex
