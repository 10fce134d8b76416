// Rows split across threads, with the calling thread taking over what a thread that fails to start would have done.
#include "rows.hpp"

#include <thread>
#include <vector>

namespace veldspar::kit::panel {

void split_rows(std::size_t rows, std::size_t threads, void (*work)(const void* context, core::RowRange),
                const void* context) noexcept {
    const std::size_t parts = rows == 0 ? 1 : (threads < rows ? threads : rows);
    // Part k takes rows [begin(k), begin(k + 1)): the first rows % parts parts one row more.
    const std::size_t base = rows / parts, extra = rows % parts;
    const auto begin = [&](std::size_t k) { return k * base + (k < extra ? k : extra); };
    // No exception leaves this function. std::thread reports a thread that
    // cannot start by throwing, and the vector a failed allocation: the parts
    // not started by then run here. The storage is reserved before the first
    // start, so adding a started thread never reallocates.
    std::vector<std::thread> helpers;
    std::size_t started = 1;
    if (parts > 1) {
        try {
            helpers.reserve(parts - 1);
            for (; started < parts; ++started) {
                const core::RowRange range{begin(started), begin(started + 1)};
                helpers.emplace_back([work, context, range] { work(context, range); });
            }
        } catch (...) {
            // Parts [started, parts) did not start.
        }
    }
    work(context, {begin(0), begin(1)});
    for (std::size_t k = started; k < parts; ++k) work(context, {begin(k), begin(k + 1)});
    for (std::thread& helper : helpers) helper.join();
}

}  // namespace veldspar::kit::panel
