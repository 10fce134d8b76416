"""veldspar_kit with pandas: Series and DataFrames in and out, the `.veldspar` accessor, refusals."""
import re

import numpy as np
import pytest

import veldspar_kit as vk
from conftest import bits, run_python
from test_kit_numpy import INDICATORS, assert_same_bits, bars, expected, inputs_of, run_doc_block

pd = pytest.importorskip("pandas")

DATES = pd.date_range("2025-01-01", periods=60, freq="B", name="date")

DTYPES = {
    "float64": lambda a: a,
    "int64": lambda a: np.round(a).astype(np.int64),
    "float32": lambda a: a.astype(np.float32),
    # Nullable types: <NA> is a missing value, read as NaN.
    "Float64 with <NA>": lambda a: pd.array(np.where(np.arange(60) < 4, np.nan, a), dtype="Float64"),
    "Int64 with <NA>": lambda a: pd.array([None] * 4 + np.round(a[4:]).astype(int).tolist(), dtype="Int64"),
}


def series(values, dtype="float64", name="close"):
    return pd.Series(DTYPES[dtype](values), index=DATES, name=name)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, periods", INDICATORS)
def test_series_give_series_on_their_index_with_the_module_bits(name, periods, dtype):
    inputs = [series(x, dtype, n) for x, n in zip(inputs_of(name, *bars()), ("high", "low", "close"))]
    result = getattr(vk, name)(*inputs, *periods)
    want = expected(name, periods, *(x.to_numpy(np.float64, na_value=np.nan) for x in inputs))
    if name == "macd":
        assert isinstance(result, pd.DataFrame) and list(result.columns) == ["macd", "signal", "hist"]
        assert result.index is inputs[0].index
        assert_same_bits([result[c].to_numpy() for c in result.columns], want)
    else:
        assert isinstance(result, pd.Series) and result.index is inputs[-1].index
        assert result.name == inputs[-1].name and result.dtype == np.float64
        assert_same_bits([result.to_numpy()], want)


def test_arrow_backed_series_compute_too():
    pytest.importorskip("pyarrow")
    close = bars()[2]
    assert bits(vk.ema(pd.Series(close, dtype="double[pyarrow]"), 5)) == bits(vk.ema(close, 5))


def test_float64_series_are_read_in_place():
    from veldspar_kit._pandas import KIND
    close = series(bars()[2])
    assert np.shares_memory(KIND.values(close, "sma", "data"), close.to_numpy())


def test_the_accessor_is_the_functions():
    high, low, close = (series(x, name=n) for x, n in zip(bars(), ("high", "low", "close")))
    pairs = [(close.veldspar.sma(5), vk.sma(close, 5)), (close.veldspar.ema(5), vk.ema(close, 5)),
             (close.veldspar.atr(high, low, 5), vk.atr(high, low, close, 5)),
             (close.veldspar.atr(high, low), vk.atr(high, low, close))]
    pairs += zip(close.veldspar.macd(3, 6, 4).items(), vk.macd(close, 3, 6, 4).items())
    for got, want in pairs:
        if isinstance(got, tuple):
            (got_name, got), (want_name, want) = got, want
            assert got_name == want_name
        assert bits(got) == bits(want) and got.index.equals(want.index)


def test_indicators_chain_in_a_frame():
    frame = pd.DataFrame({"close": bars(300)[2]})
    frame["ema"] = frame["close"].veldspar.ema(20)
    frame["sma_of_ema"] = frame["ema"].veldspar.sma(10)
    assert frame["sma_of_ema"].notna().sum() == 300 - 19 - 9


@pytest.mark.parametrize("name, periods", INDICATORS)
def test_a_wide_frame_gives_one_result_column_per_column(name, periods):
    symbols = pd.Index(["AAA", "BBB", "CCC"], name="symbol")
    wide = [pd.DataFrame(np.column_stack([x, np.roll(x, 5), x[::-1]]), index=DATES, columns=symbols)
            for x in bars()]
    wide[2].iloc[:6, 1] = np.nan
    inputs = inputs_of(name, *wide)
    result = getattr(vk, name)(*inputs, *periods)
    parts = ["macd", "signal", "hist"] if name == "macd" else [None]
    for symbol in symbols:
        want = expected(name, periods, *(x[symbol].to_numpy() for x in inputs))
        got = [result[part][symbol] if part else result[symbol] for part in parts]
        assert_same_bits([g.to_numpy() for g in got], want)
        assert all(g.index is DATES or g.index.equals(DATES) for g in got)
    assert list(result.columns) == ([(p, s) for p in parts for s in symbols] if name == "macd" else list(symbols))


@pytest.mark.parametrize("data, text", [
    (pd.Series(["1.5", "2"], dtype=object), ", not a pandas Series of dtype object; pd.to_numeric(data) converts "
                                            "numbers held as text or objects"),
    (pd.Series([True, False]), ", not a pandas Series of dtype bool; booleans are not prices: "
                               "data.astype('float64') if 0 and 1 are meant"),
    (pd.Series([1.0, 2.0], dtype="category"), ", not a pandas Series of dtype category; "
                                              "data.astype('float64') converts it if its values are numbers"),
    (pd.Series(np.array(["2025-01-02"], dtype="datetime64[ns]")), ", not a pandas Series of dtype datetime64[ns]; "
                                                                  "data.astype('float64') converts it if its "
                                                                  "values are numbers"),
    (pd.DataFrame({"close": [1.0], "date": ["2025-01-02"]}).astype({"date": object}),
     " in every column, but column 'date' of the DataFrame has dtype object; select the numeric columns first, "
     "e.g. data[[...]], or convert that one"),
])
def test_what_holds_no_numbers_is_refused_with_what_to_do(data, text):
    with pytest.raises(TypeError, match="^" + re.escape("sma(): data must be a 1-D series of numbers" + text) + "$"):
        vk.sma(data, 2)


def test_inputs_that_do_not_line_up_are_refused():
    high, low, close = (series(x) for x in bars())
    with pytest.raises(ValueError, match=r"^atr\(\): high, low and close must share one index, but high and low "
                                         r"have different indexes; align them first, e\.g\. low\.reindex\(high\.index\)$"):
        vk.atr(high, low.shift(1, freq="B"), close)
    frames = [pd.DataFrame({"A": x, "B": x}, index=DATES) for x in bars()]
    with pytest.raises(ValueError, match=r"^atr\(\): high, low and close must have the same columns, but high and "
                                         r"close differ; select the same columns, e\.g\. close\[high\.columns\]$"):
        vk.atr(frames[0], frames[1], frames[2].rename(columns={"B": "C"}))


def test_the_accessor_is_there_whichever_is_imported_first():
    late = "import veldspar_kit, sys\nassert 'pandas' not in sys.modules\nimport pandas as pd\n"
    early = "import pandas as pd, veldspar_kit\n"
    for start in (late, early):
        done = run_python(start + "print(pd.Series([1.0, 2.0, 4.0]).veldspar.sma(2).tolist()[1:])")
        assert done.returncode == 0, done.stderr
        assert done.stdout == "[1.5, 3.0]\n"


def test_a_failed_registration_warns_and_pandas_still_imports():
    done = run_python("import sys, warnings, veldspar_kit\n"
                      "sys.modules['veldspar_kit._pandas'] = None\n"  # as if it could not be imported
                      "with warnings.catch_warnings(record=True) as caught:\n"
                      "    warnings.simplefilter('always')\n"
                      "    import pandas as pd\n"
                      "print(pd.Series([1.0]).sum(), [str(w.message) for w in caught])")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("1.0 ['veldspar_kit could not add its .veldspar namespace to pandas: "
                                  "ModuleNotFoundError: import of veldspar_kit._pandas halted; None in sys.modules']")


def test_the_quick_start_runs_as_written(monkeypatch, capsys):
    frame = run_doc_block(0, monkeypatch)["bars"]
    close = frame["close"]
    assert list(frame.columns[-6:]) == ["sma", "ema", "atr", "macd", "signal", "hist"] and len(frame) == 252
    assert bits(frame["ema"]) == bits(vk.ema(close.to_numpy(), 20))
    assert bits(frame["hist"]) == bits(vk.macd(close.to_numpy())[2])
    assert "2025-12-19" in capsys.readouterr().out
