// The entry frame of every Python-facing function, and the released-lock section.
//
// A per-thread counter tracks how deeply this thread is inside the module's
// Python-facing code while it holds the interpreter lock: EntryFrame adds one
// for its lifetime, ReleasedLock parks it at 0 while the lock is released. A
// negative count would mean that the lock may not be used (a garbage-collector
// traversal is running); this module never makes it negative, and entering
// with one is an internal fault.
//
//   PyObject* entry(...) noexcept {
//       EntryFrame frame;               // +1 now, -1 on every return
//       ...
//       {
//           ReleasedLock unlocked;      // no Python object is touched in here
//           core::compute_sma(...);
//       }
//   }
#pragma once

#include <cstdint>
#include <source_location>

#include "veldspar/py/object.hpp"

namespace veldspar::py {

class EntryFrame {
public:
    explicit EntryFrame(std::source_location where = std::source_location::current()) noexcept;
    ~EntryFrame();
    EntryFrame(const EntryFrame&) = delete;
    EntryFrame& operator=(const EntryFrame&) = delete;
};

class ReleasedLock {
public:
    ReleasedLock() noexcept;
    ~ReleasedLock();
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    std::intptr_t saved_depth_;
    PyThreadState* thread_state_;
};

}  // namespace veldspar::py
