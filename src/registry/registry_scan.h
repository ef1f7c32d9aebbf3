// BitShift:: (names and string data of the servicing registry holding
// characters a flipped bit would make) and Trace:: (the package that
// delivered a component, found through the COMPONENTS hive's own cross
// references).
#pragma once

#include <cstdint>
#include <string>

#include "base/registry_text.h"
#include "core/session.h"
#include "script/directive.h"

namespace corvex {

// Every character outside them as "?"; with `displayUnicode` only NULs.
std::wstring MakeDisplayable(const std::wstring& text, bool displayUnicode);

bool BitShiftDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

// Component key -> catalog -> deployment: 0 with the deployment's "p!" text,
// else 1, 2, 3 (an open failed; `conditionalError` is its code), -1 (no
// "c!" value), -2 (no catalog), -3 (no deployment names one).
int TraceComponent(Session& s, const std::wstring& component, std::wstring& text, uint32_t& conditionalError);
bool TraceDirective(Session& s, Lines lines, const std::wstring& archive, std::wstring& report);

}  // namespace corvex
