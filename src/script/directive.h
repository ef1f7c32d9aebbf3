// The handler form every directive shares.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/session.h"

namespace corvex {

using Lines = std::vector<std::wstring>;

// Gets the directive's lines (a copy), the archive folder (empty when none)
// and an empty report; returns success. The report becomes the body of the
// directive's section in the session log.
using DirectiveHandler = bool (*)(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

struct DirectiveEntry {
  const wchar_t* name;
  DirectiveHandler handler;
};

// The table the dispatcher looks headers up in. The program's own table lives
// with the entry; tests hand the dispatcher tables of their own.
struct DirectiveTable {
  const DirectiveEntry* entries = nullptr;
  size_t count = 0;

  // First entry whose name equals `header` ignoring case, or nullptr.
  const DirectiveEntry* Find(const std::wstring& header) const;
};

}  // namespace corvex
