// The 39 directives in lookup order.
#pragma once

#include <cstddef>
#include <string>

#include "script/directive.h"

namespace corvex {

const DirectiveEntry* DirectiveTable();
size_t DirectiveCount();
// First entry whose name equals `header` ignoring case, or nullptr.
const DirectiveEntry* FindDirective(const std::wstring& header);

// Indices the dispatcher chooses for a bare "::" header.
constexpr size_t kAutoAnalysisIndex = 0;
constexpr size_t kPowerCopyIndex = 1;
constexpr size_t kFallbackIndex = 2;
constexpr size_t kRegistryScriptIndex = 18;

}  // namespace corvex
