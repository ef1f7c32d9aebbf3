// Authenticode signatures of files, for the programs the elevated process
// would run on a stranger's word (a self-extracting package).
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace corvex::platform {

// TRUST_E_NOSIGNATURE: the file carries no signature.
constexpr uint32_t kTrustNoSignature = 0x800B0100;

enum class Signer {
  kMicrosoft,  // the chain ends in one of Microsoft's root authorities
  kOther,      // it verifies, but to someone else
};

class Signatures {
 public:
  virtual ~Signatures() = default;
  // WinVerifyTrust (Authenticode, whole chain, no UI) on the file, then its
  // signer's chain. A signature that does not verify is a failure carrying
  // the trust provider's code (kTrustNoSignature when there is none).
  virtual Result<Signer> VerifyMicrosoftSignature(const std::wstring& path) = 0;
};

}  // namespace corvex::platform
