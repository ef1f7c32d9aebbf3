#pragma once

#include "platform/fake/fake_windows.h"
#include "platform/crash.h"

namespace corvex::fake {

class FakeCrashHandling : public platform::CrashHandling {
 public:
  explicit FakeCrashHandling(FakeWindows& w) : w_(w) {}

 private:
  [[maybe_unused]] FakeWindows& w_;
};

}  // namespace corvex::fake
