// What the program asks of Windows when it has crashed: the handlers that
// catch the fault and the memory dump they write.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/result.h"

namespace corvex::platform {

// Lets one crash be handled once. Threads exist (the extraction workers),
// so two may fault together, and a fault inside the handling must not start
// it again: the first thread in owns the crash; the owner coming back ends
// the process at once; any other thread waits for the owner to end it.
class CrashGuard {
 public:
  enum class Entry { kFirst, kAgainOnOwner, kOtherThread };
  Entry Enter(uint32_t threadId) {
    uint32_t owner = 0;
    if (owner_.compare_exchange_strong(owner, threadId)) return Entry::kFirst;
    return owner == threadId ? Entry::kAgainOnOwner : Entry::kOtherThread;
  }
  // The thread handling the crash; 0 before any.
  uint32_t Owner() const { return owner_.load(); }

 private:
  std::atomic<uint32_t> owner_{0};  // thread ids are never 0
};

class CrashHandling {
 public:
  virtual ~CrashHandling() = default;
  // Registers every handler: the unhandled-exception filter, the
  // pure-virtual-call, new and invalid-parameter handlers, abort behaviour,
  // SIGABRT and SIGTERM, the terminate handler, SIGFPE, SIGILL and SIGSEGV.
  // A crash on any thread passes the guard, runs `onCrash` on that thread
  // and then ends the process with exit code 1, whatever `onCrash` did.
  virtual Status Install(std::function<void()> onCrash) = 0;
  // Whether a dump can be written at all (the dump writer of the system
  // folder's dbghelp.dll).
  virtual bool CanWriteDumps() = 0;
  // Creates `path` (write access, no sharing, always created) and writes a
  // full-memory minidump of this process with the fault being handled.
  virtual Status WriteDump(const std::wstring& path) = 0;
  // The current folder: where a dump goes when its own folder will not take it.
  virtual Result<std::wstring> CurrentFolder() = 0;
};

}  // namespace corvex::platform
