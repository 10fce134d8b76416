// Fault reports on standard error, then abort(): the one way the library ends the process.
#include "veldspar/fault/fault.hpp"

#include <cstdio>
#include <mutex>

#include "messages.hpp"
#include "testing.hpp"

namespace veldspar::fault {
namespace {

// Serialises whole reports so that concurrent faults do not interleave lines.
std::mutex& report_lock() noexcept {
    static std::mutex lock;
    return lock;
}

// Set while this thread writes a report, to recognise a fault inside it.
thread_local bool t_reporting = false;

void write(std::string_view text) noexcept { std::fwrite(text.data(), 1, text.size(), stderr); }

}  // namespace

void internal_fault(std::string_view message, std::source_location where) noexcept {
    char place[32];
    std::snprintf(place, sizeof place, messages::kPlace, static_cast<unsigned>(where.line()),
                  static_cast<unsigned>(where.column()));
    if (t_reporting) {
        write(messages::kNestedHead);
        write(where.file_name());
        write(place);
        write(":\n");
        write(message);
        write(messages::kNestedTail);
        std::fflush(stderr);
        std::abort();
    }
    t_reporting = true;
    // Never released: the first report to finish ends the process, and a
    // second faulting thread must wait rather than write over it.
    report_lock().lock();
    write(messages::kReportHead);
    write(where.file_name());
    write(place);
    write(":\n");
    write(message);
    write("\n");
    std::fflush(stderr);
    std::abort();
}

void testing::enter_report() noexcept { t_reporting = true; }

void index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) noexcept {
    char message[96];
    int n = std::snprintf(message, sizeof message, messages::kIndexOutOfBounds, len, index);
    internal_fault(std::string_view(message, static_cast<std::size_t>(n)), where);
}

void allocation_failed(std::size_t bytes) noexcept {
    char line[64];
    int n = std::snprintf(line, sizeof line, messages::kAllocationFailed, bytes);
    std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace veldspar::fault
