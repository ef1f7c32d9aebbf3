// Signatures in the fake: tests say which file is signed by whom. A file
// they said nothing of is unsigned, as a stranger's download would be.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fake/fake_windows.h"
#include "platform/signatures.h"

namespace corvex::fake {

class FakeSignatures : public platform::Signatures {
 public:
  explicit FakeSignatures(FakeWindows& w) : w_(w) {}

  // Faults: Op::kVerifySignature on the path. A missing file fails with 2;
  // a file another handle holds open for writing, with 32 (WinVerifyTrust
  // opens it for reading and shares reading only).
  platform::Result<platform::Signer> VerifyMicrosoftSignature(const std::wstring& path) override;

  // The answer for a file, whatever its bytes.
  void Sign(const std::wstring& path, platform::Signer signer);
  // A signature that does not verify, with the trust provider's code
  // (TRUST_E_BAD_DIGEST 0x80096010 for a file changed after signing).
  void Break(const std::wstring& path, uint32_t code);

  // Paths asked about, in order.
  std::vector<std::wstring> asked;

 private:
  FakeWindows& w_;
  std::mutex mutex_;
  std::map<std::wstring, platform::Result<platform::Signer>> answers_;  // by FakeWindows::Key
};

}  // namespace corvex::fake
