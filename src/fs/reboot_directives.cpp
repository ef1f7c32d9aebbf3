#include "fs/reboot_directives.h"

namespace corvex {

// Not built yet: each fails with one sentence.
bool ReplaceOverRebootDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"ReplaceOverReboot:: is not available in this version of Corvex.";
  return false;
}

bool RebootDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"Reboot:: is not available in this version of Corvex.";
  return false;
}

bool PostRebootCorruptionDetectionDirective(Session&, Lines, const std::wstring&, std::wstring& report) {
  report = L"PostRebootCorruptionDetection:: is not available in this version of Corvex.";
  return false;
}

bool RestartWindows(Session&) { return false; }

}  // namespace corvex
