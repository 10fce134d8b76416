// The texts of veldspar_kit._native's module object; each feature keeps its own in its folder.
#pragma once

#include <string_view>

namespace veldspar::kit::messages {

// An import from an interpreter other than the one that imported the extension first (ImportError).
inline constexpr std::string_view kOtherInterpreter =
    "veldspar_kit._native serves only the interpreter that imported it first: its caches (NumPy's C-API "
    "table, the borrow registry, its types) belong to the whole process, so no other interpreter may import it";

}  // namespace veldspar::kit::messages
