// The program's 39 directives in lookup order.
#pragma once

#include "script/directive.h"

namespace corvex {

const DirectiveTable& ProgramDirectives();

}  // namespace corvex
