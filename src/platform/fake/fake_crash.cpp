#include "platform/fake/fake_crash.h"

namespace corvex::fake {

platform::Status FakeCrashHandling::Install(std::function<void()> onCrash) {
  onCrash_ = std::move(onCrash);
  installed = true;
  return platform::Status::Ok();
}

void FakeCrashHandling::Fire(uint32_t thread) {
  switch (guard_.Enter(thread)) {
    case platform::CrashGuard::Entry::kOtherThread:
      waiting.push_back(thread);  // the real thread sleeps until the owner ends the process
      return;
    case platform::CrashGuard::Entry::kAgainOnOwner:
      exitCode = 1;
      throw ProcessEnded{1};
    case platform::CrashGuard::Entry::kFirst:
      break;
  }
  ++callbackRuns;
  if (onCrash_) onCrash_();
  exitCode = 1;
  throw ProcessEnded{1};
}

platform::Status FakeCrashHandling::WriteDump(const std::wstring& path) {
  if (uint32_t code = w_.TakeFault(Op::kWriteDump, path)) return Error{code};
  auto file = w_.platform().fs.Open(path, platform::access::kWrite, platform::share::kNone,
                                    platform::Disposition::kCreateAlways);
  if (!file.ok()) return file.status();
  // MINIDUMP_HEADER: signature, version, streams, directory, checksum, time, flags.
  std::string header = "MDMP";
  auto put32 = [&header](uint32_t v) {
    for (int i = 0; i < 4; ++i) header += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put32(0xA793);
  put32(0);
  put32(32);
  put32(0);
  put32(dumpTime++);
  put32(2);
  put32(0);
  if (auto written = (*file)->Append(header); !written.ok()) return written;
  dumps.push_back(path);
  return platform::Status::Ok();
}

}  // namespace corvex::fake
