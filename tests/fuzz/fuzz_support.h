// Shared by the fuzz targets: a fresh fake Windows per input and a check
// that stops the run (and so keeps the input) when a property breaks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/session.h"
#include "platform/fake/fake_windows.h"

namespace corvex::fuzz {

// Every target is linked into one libFuzzer program, which runs the one
// CORVEX_FUZZ_TARGET names: one link instead of one per target.
using TargetFunction = int (*)(const uint8_t* data, size_t size);
bool RegisterTarget(const char* name, TargetFunction run);

#define FUZZ_TARGET(name)                                                                      \
  static int name##_one_input(const uint8_t* data, size_t size);                               \
  [[maybe_unused]] static const bool name##_registered =                                       \
      ::corvex::fuzz::RegisterTarget(#name, name##_one_input);                                  \
  static int name##_one_input

// A broken property is a finding like a crash: libFuzzer saves the input.
#define FUZZ_CHECK(cond, what)                                                    \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  %s\n", __FILE__,   \
                   __LINE__, #cond, what);                                        \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

struct Fake {
  fake::FakeWindows w;
  Session s{w.platform()};
};

const std::wstring kWork = L"C:\\Users\\Tester\\AppData\\Local\\Tallwen";

inline std::string Bytes(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The input as `n` parts: cut at the first n - 1 NULs, the last part the
// rest (empty parts where NULs run out).
inline std::vector<std::string> SplitAtNuls(const std::string& all, size_t n) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    size_t cut = all.find('\0', from);
    parts.push_back(all.substr(from, cut == std::string::npos ? std::string::npos : cut - from));
    from = cut == std::string::npos ? all.size() : cut + 1;
  }
  parts.push_back(all.substr(from));
  return parts;
}

// A machine to replace files on: the key that pended renames go to, a
// good copy to place and a system file to place it over.
inline void AddReplacementFiles(Fake& f, bool wow64) {
  f.w.wow64 = wow64;
  f.w.AddMachineKey(L"SYSTEM\\CurrentControlSet\\Control\\Session Manager");
  f.w.AddFile(L"C:\\fix\\new.dll", "new");
  f.w.AddFile(L"C:\\Windows\\System32\\in_use.dll", "old");
}

// Every LF follows a CR: what the readers promise about line ends.
inline bool LinesEndWithCrLf(const std::wstring& t) {
  for (size_t i = 0; i < t.size(); ++i)
    if (t[i] == L'\n' && (i == 0 || t[i - 1] != L'\r')) return false;
  return true;
}

// Text as the program writes every log and store: UTF-16LE with a mark.
// Reading that back must give the same text.
inline std::string AsUtf16File(const std::wstring& t) { return "\xFF\xFE" + ToUtf16Le(t); }

}  // namespace corvex::fuzz
