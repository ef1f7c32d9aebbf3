// The handler form every directive shares.
#pragma once

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

}  // namespace corvex
