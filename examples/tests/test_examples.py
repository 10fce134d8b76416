import runpy

import numpy as np
import pytest

from conftest import EXAMPLES, bits

import veldspar


def test_demo_reads_a_year_of_bundled_bars(run):
    out = run("demo.py").stdout
    assert out.startswith("252 bars from bars.csv")
    assert len(out.splitlines()) == 2 + 15


@pytest.mark.parametrize("script", ["demo.py", "chart.py", "many_symbols.py", "dask_panel.py"])
def test_help_says_what_the_program_does_in_whole_sentences(run, script):
    done = run(script, "--help")
    usage, description = done.stdout.split("\n\n")[:2]
    assert usage.startswith(f"usage: {script}") and description.rstrip().endswith(".")


def test_bundled_bars_are_what_their_script_makes():
    bars = runpy.run_path(str(EXAMPLES / "data" / "make_bars.py"))["bars"]
    rows = (EXAMPLES / "data" / "bars.csv").read_text().splitlines()
    assert rows[1:] == [",".join(map(str, bar)) for bar in bars()]


def test_chart_is_a_drawn_png_of_the_requested_size(run, tmp_path):
    import matplotlib.image
    out = tmp_path / "chart.png"
    run("chart.py", "--out", out)
    pixels = matplotlib.image.imread(out)
    assert pixels.shape[:2] == (700, 1000)
    rgb = pixels[..., :3].reshape(-1, 3)
    # Not blank: lines and bars in many colours over a fair share of the canvas.
    assert (rgb < 0.95).any(axis=1).mean() > 0.05
    assert len(np.unique((rgb * 255).astype(np.uint8), axis=0)) > 50


@pytest.mark.parametrize("script, package", [("chart.py", "matplotlib"), ("dask_panel.py", "dask"),
                                             ("dask_panel.py", "pandas")])
def test_missing_dependency_says_how_to_get_it(run, script, package):
    done = run(script, blocked=package, check=False)
    assert done.returncode == 1
    assert "pip install '.[examples]'" in done.stderr and "Traceback" not in done.stderr


def test_panels_and_threads_give_the_per_symbol_results(run):
    import many_symbols
    results = many_symbols.main(symbols=24, bars=300, threads=3, block=10, repeat=1)
    high, low, close = many_symbols.synthetic(24, 300)
    for name, (call, _, count, _) in many_symbols.INDICATORS.items():
        want = [np.empty(300) for _ in range(count)]
        call(high[5], low[5], close[5], want)
        assert all((bits(o[5]) == bits(w)).all() for o, w in zip(results[name, "per symbol", 1], want)), name
        for setting in [("per symbol", 3), ("panel", 1), ("panel", 3)]:
            assert all((bits(a) == bits(b)).all()
                       for a, b in zip(results[name, "per symbol", 1], results[(name, *setting)])), (name, setting)
    assert "ATR(14)" in run("many_symbols.py", "--symbols", 8, "--bars", 100, "--repeat", 1).stdout


def test_dask_cluster_results_equal_local_ones(run, tmp_path):
    import pandas as pd
    out = run("dask_panel.py", "--symbols", 12, "--bars", 120, "--groups", 3, "--workers", 2,
              "--dir", tmp_path).stdout
    assert "2 worker processes" in out and "bit-identical" in out
    # Check one symbol from the files again, independently of the script's own comparison.
    panel = pd.read_parquet(tmp_path / "panel").query("symbol == 'S00004'").sort_values("bar")
    got = pd.read_parquet(tmp_path / "out").query("symbol == 'S00004'").sort_values("bar")
    assert len(got) == 120
    close = panel["close"].to_numpy(np.float64)
    want = {"ema": np.empty(120), "atr": np.empty(120)}
    veldspar.indicator_ema(20, close, want["ema"])
    veldspar.indicator_atr(14, *(panel[c].to_numpy(np.float64) for c in ("high", "low")), close,
                           want["atr"])
    for name, w in want.items():
        assert (bits(got[name].to_numpy()) == bits(w)).all(), name


def test_dask_panel_leaves_nothing_in_the_temp_folder(run, tmp_path):
    out = run("dask_panel.py", "--symbols", 4, "--bars", 60, "--groups", 2, "--workers", 1,
              env={"TMPDIR": str(tmp_path)}).stdout
    assert "bit-identical" in out
    assert not list(tmp_path.glob("veldspar-panel-*"))
