// Average true range (placeholder until the kernel lands: all NaN).
#include "access.hpp"

namespace veldspar::core {

void compute_atr(std::size_t, ReadSlice high, ReadSlice low, ReadSlice close, WriteSlice output) noexcept {
    detail::require_same_length(high.size, low.size);
    detail::require_same_length(high.size, close.size);
    detail::require_same_length(high.size, output.size);
    detail::with_access([&](auto policy) { detail::Out<decltype(policy)>{output.data}.fill_nan(0, output.size); },
                        high.data, low.data, close.data, output.data);
}

}  // namespace veldspar::core
