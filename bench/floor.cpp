// veldspar_bench: the floor loops and do-nothing functions that bench/run.py measures the module against.
//
// Each floor loop is the plain one-value-at-a-time C loop of a kernel's
// recurrence: the same operations in the same order, so the same dependency
// chain, without blocking, access policies or overlap handling. They are built
// with the kernels' flags (-ffp-contract=off -fno-fast-math, same -O level)
// so that a kernel/floor ratio compares code shape, not compiler settings.
// They assume what the benchmark feeds them (finite prices, sane periods) and
// take their arrays through the buffer protocol: this module knows no NumPy.
//
// The noopN functions take N arguments through the same fast-call convention
// as the indicators and do nothing: the interpreter's share of a call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

double stored_nan() {
    const std::uint64_t bits = 0x7FF8000000000000ULL;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

void fill_nan(double* out, std::size_t from, std::size_t to) {
    const double nan = stored_nan();
    for (std::size_t i = from; i < to; ++i) out[i] = nan;
}

void sma_floor(std::size_t period, const double* x, double* out, std::size_t n) {
    if (period == 0 || period > n) return fill_nan(out, 0, n);
    fill_nan(out, 0, period - 1);
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) sum += x[i];
    const double inv = 1.0 / static_cast<double>(period);
    out[period - 1] = sum * inv;
    for (std::size_t i = period; i < n; ++i) {
        sum += x[i] - x[i - period];
        out[i] = sum * inv;
    }
}

void ema_floor(std::size_t period, const double* x, double* out, std::size_t n) {
    if (period == 0 || period > n) return fill_nan(out, 0, n);
    fill_nan(out, 0, period - 1);
    double sum = -0.0;
    for (std::size_t i = 0; i < period; ++i) sum += x[i];
    double ema = sum / static_cast<double>(period);
    out[period - 1] = ema;
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double beta = 1.0 - alpha;
    const double nan = stored_nan();
    for (std::size_t i = period; i < n; ++i) {
        if (std::isfinite(x[i])) {
            ema = alpha * x[i] + beta * ema;
            out[i] = ema;
        } else {
            out[i] = nan;
        }
    }
}

double window_mean(const double* x, std::size_t i, std::size_t count) {
    double sum = -0.0;
    for (std::size_t k = 0; k < count; ++k) sum += x[i - k];
    return sum / static_cast<double>(count);
}

void macd_floor(std::size_t fast_p, std::size_t slow_p, std::size_t signal_p, const double* x, double* m_out,
                double* s_out, double* h_out, std::size_t n) {
    const std::size_t first = slow_p - 1;
    if (fast_p == 0 || signal_p == 0 || fast_p >= slow_p || first >= n) {
        fill_nan(m_out, 0, n);
        fill_nan(s_out, 0, n);
        fill_nan(h_out, 0, n);
        return;
    }
    const double nan = stored_nan();
    fill_nan(m_out, 0, first);
    fill_nan(s_out, 0, first);
    fill_nan(h_out, 0, first);
    const double fa = 2.0 / (static_cast<double>(fast_p) + 1.0), fb = 1.0 - fa;
    const double sa = 2.0 / (static_cast<double>(slow_p) + 1.0), sb = 1.0 - sa;
    const double ga = 2.0 / (static_cast<double>(signal_p) + 1.0), gb = 1.0 - ga;
    const std::size_t signal_from = slow_p + signal_p - 2;
    double fast = window_mean(x, first, fast_p);
    double slow = window_mean(x, first, slow_p);
    double sig = nan;
    for (std::size_t i = first; i < n; ++i) {
        if (std::isnan(x[i])) {
            m_out[i] = s_out[i] = h_out[i] = nan;
            continue;
        }
        if (i > first) {
            slow = sa * x[i] + sb * slow;
            fast = fa * x[i] + fb * fast;
        }
        const double m = fast - slow;
        m_out[i] = m;
        if (!std::isnan(sig)) {
            sig = ga * m + gb * sig;
        } else if (i >= signal_from) {
            sig = m;
        }
        s_out[i] = sig;
        h_out[i] = std::isnan(sig) ? nan : m - sig;
    }
}

double nan_max(double a, double b) { return (std::isnan(a) || a < b) ? b : a; }

double true_range(double h, double l, double c) { return nan_max(nan_max(h - l, std::fabs(h - c)), std::fabs(l - c)); }

void atr_floor(std::size_t period, const double* h, const double* l, const double* c, double* out, std::size_t n) {
    if (period == 0 || n <= period) return fill_nan(out, 0, n);
    fill_nan(out, 0, period);
    const double p = static_cast<double>(period);
    const double k = 1.0 / p;
    double sum = +0.0;
    for (std::size_t j = 1; j <= period; ++j) sum += true_range(h[j], l[j], c[j - 1]);
    double avg = sum / p;
    out[period] = avg;
    for (std::size_t i = period + 1; i < n; ++i) {
        avg = avg + k * (true_range(h[i], l[i], c[i - 1]) - avg);
        out[i] = avg;
    }
}

// The buffers of one call, released newest first on every path.
class Buffers {
public:
    Buffers() = default;
    Buffers(const Buffers&) = delete;
    Buffers& operator=(const Buffers&) = delete;
    ~Buffers() {
        while (count_ > 0) PyBuffer_Release(&views_[--count_]);
    }
    // A C-contiguous float64 buffer of `object`, writable if asked; null with
    // an exception set otherwise.
    double* take(PyObject* object, bool writable) {
        Py_buffer& view = views_[count_];
        if (PyObject_GetBuffer(object, &view, (writable ? PyBUF_WRITABLE : 0) | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0)
            return nullptr;
        ++count_;
        if (view.itemsize != 8 || view.format == nullptr || std::strcmp(view.format, "d") != 0) {
            PyErr_SetString(PyExc_TypeError, "float64 buffers only");
            return nullptr;
        }
        if (count_ > 1 && view.len != views_[0].len) {
            PyErr_SetString(PyExc_ValueError, "buffers differ in length");
            return nullptr;
        }
        return static_cast<double*>(view.buf);
    }
    std::size_t size() const { return count_ == 0 ? 0 : static_cast<std::size_t>(views_[0].len) / 8; }

private:
    Py_buffer views_[4];
    int count_ = 0;
};

// Positional arguments only, exactly `arity` of them.
bool positional(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t arity) {
    if (PyVectorcall_NARGS(nargs) == arity && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments", name, arity);
    return false;
}

bool periods(PyObject* const* args, Py_ssize_t count, std::size_t* out) {
    for (Py_ssize_t k = 0; k < count; ++k) {
        out[k] = PyLong_AsSize_t(args[k]);
        if (out[k] == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    }
    return true;
}

PyObject* sma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::size_t p;
    if (!positional("sma", nargs, kwnames, 3) || !periods(args, 1, &p)) return nullptr;
    Buffers b;
    const double* x = b.take(args[1], false);
    double* out = x ? b.take(args[2], true) : nullptr;
    if (!out) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    sma_floor(p, x, out, b.size());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* ema(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::size_t p;
    if (!positional("ema", nargs, kwnames, 3) || !periods(args, 1, &p)) return nullptr;
    Buffers b;
    const double* x = b.take(args[1], false);
    double* out = x ? b.take(args[2], true) : nullptr;
    if (!out) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    ema_floor(p, x, out, b.size());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* macd(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::size_t p[3];
    if (!positional("macd", nargs, kwnames, 7) || !periods(args, 3, p)) return nullptr;
    Buffers b;
    const double* x = b.take(args[3], false);
    double* m = x ? b.take(args[4], true) : nullptr;
    double* s = m ? b.take(args[5], true) : nullptr;
    double* h = s ? b.take(args[6], true) : nullptr;
    if (!h) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    macd_floor(p[0], p[1], p[2], x, m, s, h, b.size());
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// Keeps the interpreter lock, as the module's ATR does.
PyObject* atr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::size_t p;
    if (!positional("atr", nargs, kwnames, 5) || !periods(args, 1, &p)) return nullptr;
    Buffers b;
    const double* h = b.take(args[1], false);
    const double* l = h ? b.take(args[2], false) : nullptr;
    const double* c = l ? b.take(args[3], false) : nullptr;
    double* out = c ? b.take(args[4], true) : nullptr;
    if (!out) return nullptr;
    atr_floor(p, h, l, c, out, b.size());
    Py_RETURN_NONE;
}

template <Py_ssize_t N>
PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargs) + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (given != N) {
        PyErr_Format(PyExc_TypeError, "noop%zd() takes %zd arguments", N, N);
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <auto F>
constexpr PyCFunction fast() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef g_methods[] = {
    {"sma", fast<&sma>(), kFastCall, "sma(period, data, output): the SMA floor loop"},
    {"ema", fast<&ema>(), kFastCall, "ema(period, data, output): the EMA floor loop"},
    {"macd", fast<&macd>(), kFastCall, "macd(fast, slow, signal, data, macd, signal, hist): the MACD floor loop"},
    {"atr", fast<&atr>(), kFastCall, "atr(period, high, low, close, output): the ATR floor loop"},
    {"noop3", fast<&noop<3>>(), kFastCall, "takes 3 arguments, does nothing"},
    {"noop5", fast<&noop<5>>(), kFastCall, "takes 5 arguments, does nothing"},
    {"noop7", fast<&noop<7>>(), kFastCall, "takes 7 arguments, does nothing"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {PyModuleDef_HEAD_INIT,
                        "veldspar_bench",
                        "Floor loops and do-nothing calls for bench/run.py",
                        0,
                        g_methods,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_veldspar_bench() { return PyModule_Create(&g_module); }
