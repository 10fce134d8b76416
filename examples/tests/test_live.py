"""examples/live.py: a replayed feed whose streamed values are the batch functions' bits, checkpoint included."""
import numpy as np

from conftest import EXAMPLES, bits


def test_help_says_what_the_program_does_in_whole_sentences(run):
    usage, description = run("live.py", "--help").stdout.split("\n\n")[:2]
    assert usage.startswith("usage: live.py") and description.rstrip().endswith(".")


def test_each_bar_is_printed_and_the_values_are_the_batch_bits(run):
    out = run("live.py", "--delay", 0, "--resume-at", 100, "--rounds", 5).stdout.splitlines()
    bars = (EXAMPLES / "data" / "bars.csv").read_text().splitlines()[1:]
    rows = [line for line in out if line.startswith("  2025-")]
    assert [row.split()[0] for row in rows] == [bar.split(",")[0] for bar in bars]
    assert out[101] == "-- checkpoint after bar 100: " + out[101].split(": ")[1]
    assert "252 bars streamed; every value is bit-identical to the module's batch functions" in out
    assert out[-1].startswith("cost per update: SMA ") and out[-1].endswith(" ns")


def test_streamed_rows_equal_the_batch_columns():
    import live
    bars = live.load(live.SAMPLE)
    streamed = np.array(live.replay(bars, resume_at=7, quiet=True))
    assert (bits(streamed) == bits(live.batch(bars))).all()
