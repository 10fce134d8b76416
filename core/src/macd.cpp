// MACD (placeholder until the kernel lands: all NaN).
#include "access.hpp"

namespace veldspar::core {

void compute_macd(std::size_t, std::size_t, std::size_t, ReadSlice data, WriteSlice macd,
                  WriteSlice signal, WriteSlice hist) noexcept {
    detail::require_same_length(data.size, macd.size);
    detail::require_same_length(data.size, signal.size);
    detail::require_same_length(data.size, hist.size);
    detail::with_access([&](auto policy) {
        using A = decltype(policy);
        detail::Out<A>{macd.data}.fill_nan(0, data.size);
        detail::Out<A>{signal.data}.fill_nan(0, data.size);
        detail::Out<A>{hist.data}.fill_nan(0, data.size);
    }, data.data, macd.data, signal.data, hist.data);
}

}  // namespace veldspar::core
