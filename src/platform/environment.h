// Environment, known folders, the clock and facts about the program file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/result.h"

namespace corvex::platform {

enum class KnownFolder { kLocalAppData, kDesktop, kDocuments };

struct LocalTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millis = 0;
};

class Environment {
 public:
  virtual ~Environment() = default;
  // ExpandEnvironmentStringsW, first into a buffer of `capacity`
  // characters and again into one of the size it asks for when that is too
  // small: the expansion is never cut. When the call fails the text comes
  // back unchanged.
  virtual std::wstring Expand(const std::wstring& text, size_t capacity = 512) = 0;
  // Failure carries the HRESULT of SHGetKnownFolderPath.
  virtual Result<std::wstring> GetKnownFolder(KnownFolder folder) = 0;
  virtual LocalTime Now() = 0;
  // The program file's full path, however long.
  virtual Result<std::wstring> ModuleFileName() = 0;
  // Fixed file version of a module: {ms high, ms low, ls high, ls low}.
  virtual Result<std::array<uint16_t, 4>> FileVersion(const std::wstring& path) = 0;
};

}  // namespace corvex::platform
