// Rows split across threads, with the calling thread taking over what a thread that fails to start would have done.
#include "rows.hpp"

#include <pthread.h>

#include <cstdlib>

// POSIX threads rather than std::thread: std::thread's entry points in the C++
// runtime date from GCC 6 and would raise the wheels' manylinux tag from 2_17
// to 2_24. glibc 2.34 gave pthread_create and pthread_join new versions; the
// versions below are still exported, so the extension asks for no newer C
// library than the module does. Other targets take whatever their C library
// makes default.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.17");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.17");
#elif defined(__GLIBC__) && defined(__arm__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.4");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.4");
#endif

namespace veldspar::kit::panel {
namespace {

struct Part {
    void (*work)(const void* context, core::RowRange);
    const void* context;
    core::RowRange range;
    pthread_t thread;
};

void* run_part(void* part) noexcept {
    const Part& p = *static_cast<const Part*>(part);
    p.work(p.context, p.range);
    return nullptr;
}

}  // namespace

void split_rows(std::size_t rows, std::size_t threads, void (*work)(const void* context, core::RowRange),
                const void* context) noexcept {
    const std::size_t parts = rows == 0 ? 1 : (threads < rows ? threads : rows);
    // Part k takes rows [begin(k), begin(k + 1)): the first rows % parts parts one row more.
    const std::size_t base = rows / parts, extra = rows % parts;
    const auto begin = [&](std::size_t k) { return k * base + (k < extra ? k : extra); };
    // Ranges 1 to parts - 1 start on threads of their own, in order, until
    // one cannot (no memory for their records, or the system refuses a
    // thread): the ranges not started by then run here, after range 0.
    Part* helpers = parts > 1 ? static_cast<Part*>(std::calloc(parts - 1, sizeof(Part))) : nullptr;
    std::size_t started = 1;
    if (helpers != nullptr) {
        for (; started < parts; ++started) {
            Part& part = helpers[started - 1];
            part = Part{work, context, {begin(started), begin(started + 1)}, {}};
            if (pthread_create(&part.thread, nullptr, run_part, &part) != 0) break;
        }
    }
    work(context, {begin(0), begin(1)});
    for (std::size_t k = started; k < parts; ++k) work(context, {begin(k), begin(k + 1)});
    for (std::size_t k = 1; k < started; ++k) pthread_join(helpers[k - 1].thread, nullptr);
    std::free(helpers);
}

}  // namespace veldspar::kit::panel
