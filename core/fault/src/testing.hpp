// Test seam of the fault boundary: lets a death test stand inside a report.
#pragma once

namespace veldspar::fault::testing {

// Marks this thread as writing a fault report, as a fault during one would.
void enter_report() noexcept;

}  // namespace veldspar::fault::testing
