// Lock-depth bookkeeping of the entry frame and the released-lock section.
#include "veldspar/py/frame.hpp"

#include "messages.hpp"
#include "veldspar/fault.hpp"

namespace veldspar::py {
namespace {

// Marks a garbage-collector traversal in progress.
constexpr std::intptr_t kTraversalDepth = -1;

thread_local std::intptr_t t_lock_depth = 0;

}  // namespace

EntryFrame::EntryFrame(std::source_location where) noexcept {
    if (t_lock_depth < 0) {
        if (t_lock_depth == kTraversalDepth) {
            internal_fault(messages::kLockDuringTraversal, where);
        }
        internal_fault(messages::kLockProhibited, where);
    }
    ++t_lock_depth;
}

EntryFrame::~EntryFrame() { --t_lock_depth; }

ReleasedLock::ReleasedLock() noexcept : saved_depth_(t_lock_depth) {
    t_lock_depth = 0;
    thread_state_ = PyEval_SaveThread();
}

ReleasedLock::~ReleasedLock() {
    t_lock_depth = saved_depth_;
    PyEval_RestoreThread(thread_state_);
}

}  // namespace veldspar::py
