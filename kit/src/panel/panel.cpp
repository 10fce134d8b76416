// veldspar_kit.panel's four functions: one series per row of 2-D arrays, in one call, rows split across threads.
#include <array>
#include <cstddef>
#include <string_view>

#include "../feature.hpp"
#include "arguments.hpp"
#include "messages.hpp"
#include "rows.hpp"

namespace veldspar::kit::panel {
namespace {

using frame::Error;
using frame::Object;
using frame::Status;

// The signatures; `threads` is keyword-only, 1 by default.
inline constexpr std::array<std::string_view, 4> kMovingAverageParameters{"period", "data", "output", "threads"};
inline constexpr frame::Signature<4> kSma{"sma", kMovingAverageParameters, 3, {"", "", "", "1"}};
inline constexpr frame::Signature<4> kEma{"ema", kMovingAverageParameters, 3, {"", "", "", "1"}};
inline constexpr frame::Signature<8> kMacd{
    "macd",
    {"fast_period", "slow_period", "signal_period", "data", "macd_output", "signal_output", "hist_output", "threads"},
    7,
    {"", "", "", "", "", "", "", "1"}};
inline constexpr frame::Signature<6> kAtr{
    "atr", {"period", "high", "low", "close", "output", "threads"}, 5, {"", "", "", "", "", "1"}};

template <const auto& S>
frame::Result<numpy::BorrowedPanel> input(const frame::Arguments<S>& args, std::size_t i) noexcept {
    return args.get(i, [i](PyObject* obj) noexcept { return borrow_input(obj, S.parameters[i]); });
}

template <const auto& S>
frame::Result<numpy::HeldPanel> output(const frame::Arguments<S>& args, std::size_t i) noexcept {
    return args.get(i, [i](PyObject* obj) noexcept { return hold_output(obj, S.parameters[i]); });
}

// Runs call(range) over the rows, split across `threads`, without the
// interpreter lock from the first thread's start to the last one's end.
template <class Call>
void run(std::size_t rows, std::size_t threads, const Call& call) noexcept {
    frame::ReleasedLock unlocked;
    split_rows(rows, threads, call);
}

using MovingAverage = void (*)(std::size_t, core::ReadPanel, core::WritePanel, core::RowRange) noexcept;

template <MovingAverage kernel, const auto& S>
Status moving_average(const frame::Arguments<S>& args) noexcept {
    auto period = args.get(0, frame::extract_size);
    if (!period) return period.take_error();
    auto data = input(args, 1);
    if (!data) return data.take_error();
    auto out = output(args, 2);
    if (!out) return out.take_error();
    auto threads = args.get(3, thread_count);
    if (!threads) return threads.take_error();

    const PanelArgument panels[] = {{S.parameters[1], *data, false}, {S.parameters[2], *out, true}};
    numpy::PanelSlice slices[2];
    if (Status failure = check_panels(panels, slices)) return failure;
    const std::size_t p = *period;
    const core::ReadPanel in = read_panel(slices[0]);
    const core::WritePanel result = write_panel(slices[1]);
    run(in.rows, *threads, [&](core::RowRange rows) noexcept { kernel(p, in, result, rows); });
    return std::nullopt;
}

Status sma_body(const frame::Arguments<kSma>& args) noexcept { return moving_average<core::compute_sma_panel>(args); }
Status ema_body(const frame::Arguments<kEma>& args) noexcept { return moving_average<core::compute_ema_panel>(args); }

Status macd_body(const frame::Arguments<kMacd>& args) noexcept {
    std::size_t periods[3];
    for (std::size_t i = 0; i < 3; ++i) {
        auto period = args.get(i, frame::extract_size);
        if (!period) return period.take_error();
        periods[i] = *period;
    }
    const auto [fast, slow, signal] = periods;
    auto data = input(args, 3);
    if (!data) return data.take_error();
    auto macd = output(args, 4);
    if (!macd) return macd.take_error();
    auto signal_out = output(args, 5);
    if (!signal_out) return signal_out.take_error();
    auto hist = output(args, 6);
    if (!hist) return hist.take_error();
    auto threads = args.get(7, thread_count);
    if (!threads) return threads.take_error();

    // The module's checks and texts come first, as there.
    if (fast == 0 || slow == 0 || signal == 0) return Error::built(PyExc_ValueError, messages::kPeriodsZero);
    if (fast >= slow) return Error::built(PyExc_ValueError, messages::kFastNotBelowSlow);
    const PanelArgument panels[] = {{kMacd.parameters[3], *data, false},
                                    {kMacd.parameters[4], *macd, true},
                                    {kMacd.parameters[5], *signal_out, true},
                                    {kMacd.parameters[6], *hist, true}};
    numpy::PanelSlice slices[4];
    if (Status failure = check_panels(panels, slices)) return failure;
    const core::ReadPanel in = read_panel(slices[0]);
    const core::WritePanel lines[3] = {write_panel(slices[1]), write_panel(slices[2]), write_panel(slices[3])};
    run(in.rows, *threads, [&](core::RowRange rows) noexcept {
        core::compute_macd_panel(fast, slow, signal, in, lines[0], lines[1], lines[2], rows);
    });
    return std::nullopt;
}

Status atr_body(const frame::Arguments<kAtr>& args) noexcept {
    auto period = args.get(0, frame::extract_size);
    if (!period) return period.take_error();
    // Declared in acquisition order, so they are released close, low, high.
    auto high = input(args, 1);
    if (!high) return high.take_error();
    auto low = input(args, 2);
    if (!low) return low.take_error();
    auto close = input(args, 3);
    if (!close) return close.take_error();
    auto out = output(args, 4);
    if (!out) return out.take_error();
    auto threads = args.get(5, thread_count);
    if (!threads) return threads.take_error();

    const PanelArgument panels[] = {{kAtr.parameters[1], *high, false},
                                    {kAtr.parameters[2], *low, false},
                                    {kAtr.parameters[3], *close, false},
                                    {kAtr.parameters[4], *out, true}};
    numpy::PanelSlice slices[4];
    if (Status failure = check_panels(panels, slices)) return failure;
    const std::size_t p = *period;
    const core::ReadPanel bars[3] = {read_panel(slices[0]), read_panel(slices[1]), read_panel(slices[2])};
    const core::WritePanel result = write_panel(slices[3]);
    // Unlike the module's ATR, the panel's runs without the interpreter lock.
    run(bars[0].rows, *threads,
        [&](core::RowRange rows) noexcept { core::compute_atr_panel(p, bars[0], bars[1], bars[2], result, rows); });
    return std::nullopt;
}

constexpr int kMethFlags = METH_FASTCALL | METH_KEYWORDS;

// The docstring of S: its text signature, then `doc`.
template <const auto& S, const std::string_view& doc>
constexpr auto documented() {
    constexpr auto& signature = frame::kTextSignature<S>;  // ends in its '\0'
    std::array<char, signature.size() + doc.size()> out{};
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < signature.size(); ++i) out[at++] = signature[i];
    for (char c : doc) out[at++] = c;
    out[at] = '\0';
    return out;
}
template <const auto& S, const std::string_view& doc>
inline constexpr auto kDoc = documented<S, doc>();

template <const auto& S, Status (*Body)(const frame::Arguments<S>&) noexcept, const std::string_view& doc>
constexpr PyMethodDef method() {
    return {S.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&frame::entry<S, Body>)),
            kMethFlags, kDoc<S, doc>.data()};
}

// The function objects point at these records, so they live as long as the process.
PyMethodDef g_functions[] = {
    method<kSma, sma_body, messages::kSmaDoc>(),
    method<kEma, ema_body, messages::kEmaDoc>(),
    method<kMacd, macd_body, messages::kMacdDoc>(),
    method<kAtr, atr_body, messages::kAtrDoc>(),
};
// Their names in veldspar_kit._native; veldspar_kit.panel gives them their own.
constexpr const char* kNativeNames[] = {"panel_sma", "panel_ema", "panel_macd", "panel_atr"};
static_assert(std::size(kNativeNames) == std::size(g_functions));

// The functions report veldspar_kit.panel as their module, where users find them.
Status add_panels(PyObject* module) noexcept {
    Object home = frame::make_str("veldspar_kit.panel");
    for (std::size_t i = 0; i < std::size(g_functions); ++i) {
        Object function = Object::steal(PyCMethod_New(&g_functions[i], module, home.get(), nullptr));
        if (!function) return Error::fetch();
        if (PyObject_SetAttrString(module, kNativeNames[i], function.get()) < 0) return Error::fetch();
    }
    return std::nullopt;
}

const Feature kPanels{"panel", add_panels};

}  // namespace
}  // namespace veldspar::kit::panel
