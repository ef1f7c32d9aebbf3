#pragma once

#include "platform/win32/windows_api.h"

#include "platform/crash.h"

namespace corvex::win32 {

// The handlers are process-wide, as Windows and the C runtime keep them:
// one instance serves the whole run.
class Win32CrashHandling : public platform::CrashHandling {
 public:
  platform::Status Install(std::function<void()> onCrash) override;
  bool CanWriteDumps() override;
  platform::Status WriteDump(const std::wstring& path) override;
  platform::Result<std::wstring> CurrentFolder() override;
};

// True once a thread other than the caller handles a crash.
bool CrashHandledByAnotherThread();

}  // namespace corvex::win32
