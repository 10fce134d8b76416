// Every text the module shows: its functions' checks (shared, in veldspar/indicators/) and the module object's error.
#pragma once

#include <string_view>

#include "veldspar/indicators/messages.hpp"

namespace veldspar::indicators::messages {

// The module object: a second interpreter's import (ImportError).
inline constexpr std::string_view kSubinterpreter =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

}  // namespace veldspar::indicators::messages
