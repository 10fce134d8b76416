"""Every path of every function and stream, called many times: no reference, block, byte of memory or borrow
is left."""
import contextlib
import functools
import gc
import os
import sys
import threading

import pytest

from conftest import assert_free
from hostile import PROFILE, paths, rss_bytes, stream_paths

PATHS = paths() + stream_paths()
CALLS = PROFILE["leak_calls"]
# One leaked block or a few bytes per call exceed these; interpreter caches stay below.
BLOCK_SLACK = 64
RSS_SLACK = 512 * 1024
# ASan's quarantine holds freed memory back, so resident size grows without a leak.
RSS_MEANINGFUL = "libasan" not in os.environ.get("LD_PRELOAD", "")

TOTALS = {"paths": 0, "calls": 0, "rss": 0}


@functools.lru_cache(maxsize=None)
def threads_leave_memory():
    """Whether starting and joining threads grows the resident size here: qemu-user keeps memory of
    every thread it ran, which would pass for a leak of each call that starts threads."""
    before = rss_bytes()
    for _ in range(200):
        thread = threading.Thread(target=int)
        thread.start()
        thread.join()
    return before is not None and rss_bytes() - before > RSS_SLACK


def _repeat(path, times):
    if path.error is None:
        for _ in range(times):
            path()
    else:
        for _ in range(times):
            try:
                path()
            except path.error:
                pass


@pytest.mark.parametrize("path", PATHS, ids=[p.id for p in PATHS])
def test_path_leaves_nothing_behind(peer, path):
    if path.held is not None:
        assert peer.acquire_mut(path.held) == 0
    try:
        with pytest.raises(path.error) if path.error else contextlib.nullcontext():
            path()
        _repeat(path, 100)  # warm the interpreter's caches
        gc.collect()
        refs = [sys.getrefcount(o) for o in path.objects()]
        # A leak grows in every round; an interpreter cache that fills late (seen under
        # emulation and on CPython 3.14) grows in one. The better of two rounds counts.
        for _ in range(2):
            blocks, rss = sys.getallocatedblocks(), rss_bytes()
            _repeat(path, CALLS)
            gc.collect()
            blocks, rss = sys.getallocatedblocks() - blocks, rss_bytes() - rss if rss is not None else None
            if blocks <= BLOCK_SLACK:
                break
        assert [sys.getrefcount(o) for o in path.objects()] == refs
        assert blocks <= BLOCK_SLACK, f"{blocks} blocks more after {CALLS} calls"
        if rss is not None and RSS_MEANINGFUL and not (path.starts_threads() and threads_leave_memory()):
            assert rss <= RSS_SLACK, f"resident size grew by {rss} bytes over {CALLS} calls"
    finally:
        if path.held is not None:
            peer.release_mut(path.held)
    # Every read borrow the calls took has ended: a writer gets each array.
    assert_free(peer, *path.writeable_arrays())
    TOTALS["paths"] += 1
    TOTALS["calls"] += CALLS + 101
    TOTALS["rss"] += rss or 0
    if TOTALS["paths"] == len(PATHS):  # seen with pytest -s
        print(f"\nleak check: {TOTALS['paths']} paths, {TOTALS['calls']} calls, "
              f"resident size {TOTALS['rss']:+d} bytes over the measured calls")

