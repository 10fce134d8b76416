// How each feature of veldspar_kit._native adds its types or functions to the module object.
//
// A feature lives in a folder of its own under kit/src/ (stream/, panel/): its
// sources and Python files are listed by that folder's CMakeLists.txt, its texts
// by its own messages.hpp, and one object at namespace scope in one of its
// sources registers it:
//
//   frame::Status add_streams(PyObject* module) noexcept;
//   const Feature kStreams{"stream", add_streams};
//
// The module body runs every registered feature once, at the first import, in
// the order of their names, so no two features share a line of the module's
// own files. A failed feature fails the import with its error.
#pragma once

#include <string_view>

#include "veldspar/frame/frame.hpp"

namespace veldspar::kit {

class Feature {
public:
    using Add = frame::Status (*)(PyObject* module) noexcept;

    // Links this feature into the list, sorted by name. Runs at load time, before any import.
    Feature(std::string_view name, Add add) noexcept;
    Feature(const Feature&) = delete;
    Feature& operator=(const Feature&) = delete;

    // Adds every registered feature to `module`, stopping at the first failure.
    static frame::Status add_all(PyObject* module) noexcept;

private:
    std::string_view name_;
    Add add_;
    mutable const Feature* next_;  // set by later registrations, which may be const objects
};

}  // namespace veldspar::kit
