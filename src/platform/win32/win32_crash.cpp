#include "platform/win32/win32_crash.h"

#include <dbghelp.h>
#include <signal.h>
#include <stdlib.h>

#include <exception>
#include <new>

#include "platform/win32/handles.h"

namespace corvex::win32 {

using platform::Error;
using platform::Result;
using platform::Status;

namespace {

using DumpWriter = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                 PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// What the handlers share. Static storage: a crash may come from a broken
// heap, and only the first crash ever fills these (the guard sees to it).
platform::CrashGuard g_guard;
std::function<void()>* g_onCrash = nullptr;
DumpWriter g_writeDump = nullptr;
using SymbolsStart = BOOL(WINAPI*)(HANDLE, PCWSTR, BOOL);
SymbolsStart g_symInitialize = nullptr;
DWORD g_thread = 0;
EXCEPTION_POINTERS* g_pointers = nullptr;
CONTEXT g_context;
EXCEPTION_RECORD g_record;
EXCEPTION_POINTERS g_captured;

// What an abort raises; the faults without exception pointers carry it.
constexpr DWORD kFatalAppExit = 0x40000015;

[[noreturn]] void EndProcess() {
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);
}

// Returns only on the first crash. The thread handling it faulting again
// ends the process at once; any other thread sleeps until it ends.
void PassGuard() {
  switch (g_guard.Enter(GetCurrentThreadId())) {
    case platform::CrashGuard::Entry::kFirst: return;
    case platform::CrashGuard::Entry::kAgainOnOwner: EndProcess();
    case platform::CrashGuard::Entry::kOtherThread:
      for (;;) Sleep(INFINITE);
  }
}

[[noreturn]] void Handle(EXCEPTION_POINTERS* pointers) {
  g_thread = GetCurrentThreadId();
  g_pointers = pointers;
  if (g_onCrash && *g_onCrash) (*g_onCrash)();
  EndProcess();
}

// For the faults that come without exception pointers: the registers of
// the caller, with a record for them.
[[noreturn]] __attribute__((noinline)) void HandleHere() {
  PassGuard();
  ZeroMemory(&g_context, sizeof g_context);
  g_context.ContextFlags = CONTEXT_FULL;
  RtlCaptureContext(&g_context);
  ZeroMemory(&g_record, sizeof g_record);
  g_record.ExceptionCode = kFatalAppExit;
  g_record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  g_record.ExceptionAddress = __builtin_return_address(0);
  g_captured.ExceptionRecord = &g_record;
  g_captured.ContextRecord = &g_context;
  Handle(&g_captured);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  PassGuard();
  Handle(pointers);
}

void OnPureCall() { HandleHere(); }
void OnNoMemory() { HandleHere(); }
void OnTerminate() { HandleHere(); }
void OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) { HandleHere(); }
void OnSignal(int) { HandleHere(); }

// SIGFPE and SIGSEGV come from an exception whose pointers the runtime
// keeps; a raise() has none.
void OnFaultSignal(int) {
  auto* pointers = static_cast<EXCEPTION_POINTERS*>(_pxcptinfoptrs);
  if (!pointers) HandleHere();
  PassGuard();
  Handle(pointers);
}

}  // namespace

Status Win32CrashHandling::Install(std::function<void()> onCrash) {
  // Loaded now, by its full path in the system folder: at a crash the
  // loader may be in no state to search, and the program's own folder
  // (often Downloads) must not supply it.
  if (!g_writeDump) {
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      HMODULE dbghelp = LoadLibraryW((std::wstring(system, n) + L"\\dbghelp.dll").c_str());
      if (dbghelp) {
        g_writeDump = reinterpret_cast<DumpWriter>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump")));
        g_symInitialize =
            reinterpret_cast<SymbolsStart>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "SymInitializeW")));
      }
    }
  }
  delete g_onCrash;
  g_onCrash = new std::function<void()>(std::move(onCrash));

  SetUnhandledExceptionFilter(OnUnhandledException);
  _set_purecall_handler(OnPureCall);
  std::set_new_handler(OnNoMemory);
  _set_invalid_parameter_handler(OnInvalidParameter);
  // msvcrt.dll has no _set_abort_behavior; the runtimes that have it get
  // "report the fault" (2), and abort reaches SIGABRT below either way.
  if (HMODULE crt = GetModuleHandleW(L"msvcrt.dll")) {
    using AbortBehavior = unsigned(__cdecl*)(unsigned, unsigned);
    if (auto set = reinterpret_cast<AbortBehavior>(reinterpret_cast<void*>(GetProcAddress(crt, "_set_abort_behavior"))))
      set(2, 2);
  }
  signal(SIGABRT, OnSignal);
  signal(SIGTERM, OnSignal);
  // No unexpected handler: C++17 has no dynamic exception specifications.
  std::set_terminate(OnTerminate);
  signal(SIGFPE, OnFaultSignal);
  signal(SIGILL, OnSignal);
  signal(SIGSEGV, OnFaultSignal);
#ifdef CORVEX_TEST_HOOKS
  // A fault on demand for the end-to-end test of the crash path. Nothing
  // outside the program can make it fault in Wine under emulation (no
  // remote threads, no foreign thread contexts), and a switch in a release
  // could be pulled by a script's environment or RunOnce values, so only
  // test builds have one.
  wchar_t flag[2] = {};
  if (GetEnvironmentVariableW(L"CORVEX_TEST_CRASH", flag, 2) == 1 && flag[0] == L'1')
    RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#endif
  return Status::Ok();
}

bool CrashHandledByAnotherThread() {
  const uint32_t owner = g_guard.Owner();
  return owner != 0 && owner != GetCurrentThreadId();
}

bool Win32CrashHandling::CanWriteDumps() { return g_writeDump != nullptr; }

Status Win32CrashHandling::WriteDump(const std::wstring& path) {
  if (!g_writeDump) return Error{ERROR_MOD_NOT_FOUND};
  unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Error{GetLastError()};
  // Wine's dump writer otherwise starts the symbol handler for the process
  // itself, reading every module, which fails for a 32-bit process on a
  // 64-bit prefix; the dump needs no symbols.
  if (g_symInitialize) g_symInitialize(GetCurrentProcess(), nullptr, FALSE);
  MINIDUMP_EXCEPTION_INFORMATION info{};
  info.ThreadId = g_thread ? g_thread : GetCurrentThreadId();
  info.ExceptionPointers = g_pointers;
  info.ClientPointers = FALSE;
  if (!g_writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpWithFullMemory,
                   g_pointers ? &info : nullptr, nullptr, nullptr)) {
    DWORD code = GetLastError();
    return Error{code ? code : ERROR_WRITE_FAULT};
  }
  return Status::Ok();
}

Result<std::wstring> Win32CrashHandling::CurrentFolder() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return Error{GetLastError()};
  std::wstring folder(n, L'\0');
  n = GetCurrentDirectoryW(n, &folder[0]);
  if (n == 0) return Error{GetLastError()};
  folder.resize(n);
  return folder;
}

}  // namespace corvex::win32
