#pragma once

#include "platform/fake/fake_windows.h"
#include "platform/shadow_copies.h"

namespace corvex::fake {

class FakeShadowCopies : public platform::ShadowCopies {
 public:
  explicit FakeShadowCopies(FakeWindows& w) : w_(w) {}

 private:
  [[maybe_unused]] FakeWindows& w_;
};

}  // namespace corvex::fake
