"""veldspar_kit with polars: Series, DataFrames and expressions (eager, lazy, per group), refusals."""
import re

import numpy as np
import pytest

import veldspar_kit as vk
from conftest import bits, run_python
from test_kit_numpy import INDICATORS, assert_same_bits, bars, expected, inputs_of, run_doc_block

pl = pytest.importorskip("polars")

DTYPES = {
    "Float64": lambda a: pl.Series(a),
    "Int32": lambda a: pl.Series(np.round(a)).cast(pl.Int32),
    "Float32": lambda a: pl.Series(a).cast(pl.Float32),
    # A null is a missing value, read as NaN.
    "Float64 with nulls": lambda a: pl.Series([None] * 4 + a[4:].tolist()),
    "two chunks": lambda a: pl.concat([pl.Series(a[:30]), pl.Series(a[30:])], rechunk=False),
}


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("name, periods", INDICATORS)
def test_series_give_series_with_the_module_bits(name, periods, dtype):
    inputs = [DTYPES[dtype](x).alias(n) for x, n in zip(inputs_of(name, *bars()), ("high", "low", "close"))]
    result = getattr(vk, name)(*inputs, *periods)
    want = expected(name, periods, *(x.cast(pl.Float64).fill_null(np.nan).to_numpy() for x in inputs))
    if name == "macd":
        assert isinstance(result, pl.DataFrame) and result.columns == ["macd", "signal", "hist"]
        assert_same_bits([s.to_numpy() for s in result.iter_columns()], want)
    else:
        assert isinstance(result, pl.Series) and result.name == inputs[-1].name and result.dtype == pl.Float64
        assert_same_bits([result.to_numpy()], want)


def test_float64_series_are_read_in_place():
    from veldspar_kit._polars import KIND
    close = pl.Series(bars()[2])
    assert np.shares_memory(KIND.values(close, "sma", "data"), close.to_numpy())


def panel():
    """Two symbols' bars interleaved row by row, the second one starting later (nulls before)."""
    a, b = bars(60, 3), bars(60, 8)
    frame = pl.DataFrame({"symbol": ["A", "B"] * 60,
                          **{c: np.column_stack([x, y]).ravel() for c, x, y in zip(("high", "low", "close"), a, b)}})
    late = (pl.col("symbol") == "B") & (pl.int_range(pl.len()) < 20)
    return frame.with_columns(pl.when(late).then(None).otherwise(pl.col(c)).alias(c) for c in ("high", "low", "close"))


@pytest.mark.parametrize("lazy", [False, True], ids=["eager", "lazy"])
def test_expressions_compute_per_group(lazy):
    frame = panel()
    close = pl.col("close").veldspar
    exprs = {"sma": close.sma(5), "ema": close.ema(5), "atr": close.atr("high", pl.col("low"), 5),
             "m": close.macd(3, 6, 4)}
    query = (frame.lazy() if lazy else frame).with_columns(**{k: e.over("symbol") for k, e in exprs.items()})
    result = (query.collect() if lazy else query).unnest("m")
    for symbol in ("A", "B"):
        rows, got = frame.filter(symbol=symbol), result.filter(symbol=symbol)
        high, low, close_ = (rows[c].fill_null(np.nan).to_numpy() for c in ("high", "low", "close"))
        for name, periods in INDICATORS:
            columns = ["macd", "signal", "hist"] if name == "macd" else [name]
            assert_same_bits([got[c].to_numpy() for c in columns],
                             expected(name, periods, *inputs_of(name, high, low, close_)))


def test_expressions_aggregate_per_group():
    frame = panel()
    result = frame.group_by("symbol", maintain_order=True).agg(pl.col("close").veldspar.ema(5))
    for symbol, got in result.iter_rows():
        want = vk.ema(frame.filter(symbol=symbol)["close"].fill_null(np.nan).to_numpy(), 5)
        assert bits(got) == bits(want)


def test_expressions_keep_the_column_name_and_a_lazy_schema():
    query = pl.LazyFrame({"close": [1.0, 2.0], "high": [1.0, 2.0], "low": [1.0, 2.0]}).select(
        pl.col("close").veldspar.sma(2), pl.col("close").veldspar.atr("high", "low").alias("atr"),
        pl.col("close").veldspar.macd().alias("m"))
    schema = {"close": pl.Float64, "atr": pl.Float64,
              "m": pl.Struct({"macd": pl.Float64, "signal": pl.Float64, "hist": pl.Float64})}
    assert dict(query.collect_schema()) == schema and dict(query.collect().schema) == schema


def test_the_namespaces_are_the_functions():
    high, low, close = (pl.Series(n, x) for n, x in zip(("high", "low", "close"), bars()))
    frame = pl.DataFrame([high, low, close])
    pairs = [(close.veldspar.sma(5), vk.sma(close, 5)),
             (close.veldspar.atr(high, low, 5), vk.atr(high, low, close, 5)),
             (frame.select(vk.ema(pl.col("close"), 5))["close"], close.veldspar.ema(5)),
             (frame.select(vk.atr(pl.col("high"), pl.col("low"), pl.col("close")))["close"], vk.atr(high, low, close))]
    pairs += zip(close.veldspar.macd(3, 6, 4).iter_columns(), vk.macd(close, 3, 6, 4).iter_columns())
    for got, want in pairs:
        assert got.name == want.name and bits(got.to_numpy()) == bits(want.to_numpy())


def test_indicators_chain_in_an_expression():
    frame = pl.DataFrame({"close": bars(300)[2]})
    chained = frame.select(pl.col("close").veldspar.ema(20).veldspar.sma(10))["close"]
    assert chained.is_not_nan().sum() == 300 - 19 - 9


@pytest.mark.parametrize("name, periods", INDICATORS)
def test_a_wide_frame_gives_one_result_column_per_column(name, periods):
    wide = [pl.DataFrame({"AAA": x, "BBB": np.roll(x, 5), "CCC": x[::-1]}) for x in bars()]
    inputs = inputs_of(name, *wide)
    result = getattr(vk, name)(*inputs, *periods)
    assert result.columns == ["AAA", "BBB", "CCC"]
    if name != "atr":  # the same as each column's expression
        assert result.equals(inputs[0].select(getattr(vk, name)(pl.all(), *periods)))
    for symbol in result.columns:
        got = result[symbol].struct.unnest().iter_columns() if name == "macd" else [result[symbol]]
        assert_same_bits([g.to_numpy() for g in got], expected(name, periods, *(x[symbol].to_numpy() for x in inputs)))


@pytest.mark.parametrize("data, text", [
    (pl.Series(["1.5", "2"]), ", not a polars Series of dtype String; data.cast(pl.Float64) converts it if its "
                              "values are numbers"),
    (pl.Series([True, None]), ", not a polars Series of dtype Boolean; data.cast(pl.Float64) converts it if its "
                              "values are numbers"),
    (pl.DataFrame({"close": [1.0], "date": ["2025-01-02"]}),
     " in every column, but column 'date' of the DataFrame has dtype String; select the numeric columns first, "
     "e.g. data.select(pl.selectors.numeric())"),
])
def test_what_holds_no_numbers_is_refused_with_what_to_do(data, text):
    with pytest.raises(TypeError, match="^" + re.escape("sma(): data must be a 1-D series of numbers" + text) + "$"):
        vk.sma(data, 2)


def test_a_refusal_in_a_query_reaches_the_caller():
    query = pl.LazyFrame({"date": ["2025-01-02"]}).select(pl.col("date").veldspar.ema(2))
    # polars 1.x wraps it in a ComputeError, polars 2 raises it as it is: the text is ours either way.
    with pytest.raises((TypeError, pl.exceptions.ComputeError),
                       match=re.escape("ema(): data must be a 1-D series of numbers, not a polars Series of dtype "
                                       "String")):
        query.collect()


def test_inputs_that_do_not_line_up_are_refused():
    with pytest.raises(TypeError, match=r"^atr\(\): high, low and close must all be polars expressions when one "
                                        r"is; pl\.col\(name\) makes one from a column name$"):
        vk.atr(pl.col("high"), np.ones(3), pl.col("close"))
    frames = [pl.DataFrame({"A": x, "B": x}) for x in bars()]
    with pytest.raises(ValueError, match=r"^atr\(\): high, low and close must have the same columns, but high and "
                                         r"close differ; select the same columns, e\.g\. close\.select\(high\.columns\)$"):
        vk.atr(frames[0], frames[1], frames[2].rename({"B": "C"}))


def test_the_namespace_is_there_whichever_is_imported_first():
    late = "import veldspar_kit, sys\nassert 'polars' not in sys.modules\nimport polars as pl\n"
    early = "import polars as pl, veldspar_kit\n"
    for start in (late, early):
        done = run_python(start + "print(pl.select(pl.lit(2.0).veldspar.sma(1)).item(), "
                                  "pl.Series([4.0]).veldspar.ema(1).item())")
        assert done.returncode == 0, done.stderr
        assert done.stdout == "2.0 4.0\n"


def test_the_watcher_leaves_once_both_libraries_are_imported():
    pytest.importorskip("pandas")
    done = run_python("import sys, veldspar_kit\n"
                      "watching = lambda: [type(f).__name__ for f in sys.meta_path].count('Watcher')\n"
                      "print(watching())\nimport polars\nprint(watching())\nimport pandas\nprint(watching())")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["1", "1", "0"]


def test_the_quick_start_runs_as_written(monkeypatch, capsys):
    frame = run_doc_block(1, monkeypatch)["bars"]
    close = frame["close"].to_numpy()
    assert frame.columns[-6:] == ["sma", "ema", "atr", "macd", "signal", "hist"] and frame.height == 252
    assert bits(frame["sma"].to_numpy()) == bits(vk.sma(close, 20))
    assert bits(frame["atr"].to_numpy()) == bits(vk.atr(*(frame[c].to_numpy() for c in ("high", "low")), close))
    assert "2025-12-19" in capsys.readouterr().out


def test_the_grouped_example_runs_as_written(monkeypatch):
    namespace = run_doc_block(2, monkeypatch)
    close = namespace["bars"]["close"].to_numpy()
    last = namespace["result"].sort("symbol")["sma"].to_list()
    assert last == [vk.sma(close, 20)[-1], vk.sma(close * 2, 20)[-1]]
