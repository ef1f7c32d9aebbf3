#include "platform/fake/fake_signatures.h"

#include "platform/filesystem.h"

namespace corvex::fake {

using platform::Signer;

platform::Result<Signer> FakeSignatures::VerifyMicrosoftSignature(const std::wstring& path) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    asked.push_back(path);
  }
  {
    std::lock_guard<FileSystemLock> faults(w_.fsMutex_);
    if (uint32_t f = w_.TakeFault(Op::kVerifySignature, path)) return Error{f};
  }
  // Opened as the trust provider opens it, so sharing and a missing file
  // answer as they would.
  auto file = w_.platform().fs.Open(path, platform::access::kRead, platform::share::kRead,
                                    platform::Disposition::kOpenExisting);
  if (!file) return Error{file.code()};
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = answers_.find(FakeWindows::Key(path));
  if (it == answers_.end()) return Error{platform::kTrustNoSignature};
  return it->second;
}

void FakeSignatures::Sign(const std::wstring& path, Signer signer) {
  std::lock_guard<std::mutex> hold(mutex_);
  answers_.insert_or_assign(FakeWindows::Key(path), platform::Result<Signer>(signer));
}

void FakeSignatures::Break(const std::wstring& path, uint32_t code) {
  std::lock_guard<std::mutex> hold(mutex_);
  answers_.insert_or_assign(FakeWindows::Key(path), platform::Result<Signer>(Error{code}));
}

}  // namespace corvex::fake
