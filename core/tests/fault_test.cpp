// The fault boundary: report format, the fault inside a report, concurrent reports, allocation failure.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <thread>
#include <vector>

#include "../fault/src/testing.hpp"
#include "veldspar/core/core.hpp"
#include "veldspar/fault/fault.hpp"

namespace {

using ::testing::KilledBySignal;

// gtest matches death-test output with POSIX extended regexes; ^ and $ anchor
// the whole of standard error, so these patterns also prove nothing else was
// written.
constexpr const char* kLocation = "core/tests/fault_test\\.cpp:[0-9]+:[0-9]+";

TEST(FaultDeathTest, ReportNamesThreadLocationAndMessage) {
    const std::string pattern =
        std::string("^\nthread '<unnamed>' panicked at ") + kLocation + ":\nbroken invariant 42\n$";
    EXPECT_EXIT(veldspar::fault::internal_fault("broken invariant 42"), KilledBySignal(SIGABRT), pattern);
}

TEST(FaultDeathTest, IndexOutOfBoundsMessage) {
    const std::string pattern = std::string("^\nthread '<unnamed>' panicked at ") + kLocation +
                                ":\nindex out of bounds: the len is 3 but the index is 7\n$";
    EXPECT_EXIT(veldspar::fault::index_out_of_bounds(3, 7), KilledBySignal(SIGABRT), pattern);
}

TEST(FaultDeathTest, KernelWithShortOutputFaultsBeforeWriting) {
    auto short_output = [] {
        double in[4] = {1, 2, 3, 4};
        double out[3];
        veldspar::core::compute_sma(2, {in, 4}, {out, 3});
    };
    EXPECT_EXIT(short_output(), KilledBySignal(SIGABRT), "index out of bounds: the len is 3 but the index is 3\n$");
}

TEST(FaultDeathTest, FaultDuringAReportIsShort) {
    const std::string pattern = std::string("^panicked at ") + kLocation +
                                ":\nsecond fault\nthread panicked while processing panic\\. aborting\\.\n$";
    auto fault_in_report = [] {
        veldspar::fault::testing::enter_report();
        veldspar::fault::internal_fault("second fault");
    };
    EXPECT_EXIT(fault_in_report(), KilledBySignal(SIGABRT), pattern);
}

TEST(FaultDeathTest, ConcurrentFaultsWriteOneWholeReport) {
    // Eight threads fault at once; the first report ends the process and no
    // other report's text gets mixed into it.
    const std::string pattern = std::string("^\nthread '<unnamed>' panicked at ") + kLocation +
                                ":\nfault from a thread that raced the others\n$";
    auto racing_faults = [] {
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([] { veldspar::fault::internal_fault("fault from a thread that raced the others"); });
        }
        for (auto& t : threads) t.join();
    };
    // Any deadly signal: qemu user-mode, which runs the 32-bit ARM build here,
    // reports abort() in a multi-threaded process as SIGSEGV. The abort itself
    // is checked by the single-threaded tests above.
    auto killed_by_a_signal = [](int status) { return WIFSIGNALED(status); };
    EXPECT_EXIT(racing_faults(), killed_by_a_signal, pattern);
}

TEST(FaultDeathTest, AllocationFailureLine) {
    EXPECT_EXIT(veldspar::fault::allocation_failed(123456), KilledBySignal(SIGABRT),
                "^memory allocation of 123456 bytes failed\n$");
}

TEST(FaultDeathTest, CheckedAllocatorRefusalEndsTheProcess) {
    auto huge = [] {
        veldspar::fault::CheckedAllocator<char> allocator;
        // Above PTRDIFF_MAX, which malloc always refuses, on 32-bit targets too.
        // Volatile keeps the compiler from warning about the constant size.
        volatile std::size_t bytes = static_cast<std::size_t>(-1) / 2 + 1;
        (void)allocator.allocate(bytes);
    };
    EXPECT_EXIT(huge(), KilledBySignal(SIGABRT), "memory allocation of [0-9]+ bytes failed\n$");
}

}  // namespace
