"""Eight threads of mixed calls on shared inputs (the module's functions, and veldspar_kit.panel's on
2-D views of the same memory with threads of their own), while a writer borrows those inputs through
the shared registry and scribbles on them, and another thread resizes outputs in flight and re-dtypes
spare inputs. Every success is bit-identical to the single-threaded result; no borrow is left."""
import random
import sys
import threading
import time

import numpy as np

from conftest import BORROWED, assert_free
from hostile import PROFILE, function, indicator, is_panel

N = 1 << 12
WORKERS = 8
SENTINEL = 7.25
CALLS = [("sma", (5,)), ("sma", (1,)), ("ema", (9,)), ("macd", (3, 7, 4)), ("macd", (12, 26, 9)), ("atr", (6,)),
         ("panel.sma", (5,)), ("panel.ema", (9,)), ("panel.macd", (3, 7, 4)), ("panel.atr", (6,))]
PANEL = (8, N // 8)  # the panels' shape: 2-D views of the 1-D inputs


def call(name, periods, inputs, outputs, threads=1):
    if is_panel(name):
        function(name)(*periods, *(x.reshape(PANEL) for x in inputs), *outputs, threads=threads)
    else:
        function(name)(*periods, *inputs, *outputs)


class Stress:
    def __init__(self, peer):
        self.peer = peer
        rng = np.random.default_rng(5)
        self.close = 100.0 + np.cumsum(rng.normal(size=N))
        self.high, self.low = self.close + rng.random(N), self.close - rng.random(N)
        self.spares = [self.close.copy() for _ in range(2)]  # the churner re-dtypes and reshapes these
        self.boxes = [[] for _ in range(WORKERS)]  # a worker's output, reachable by the churner alone
        self.expected = {}
        for name, periods in CALLS:
            outputs = self.outputs(name)
            call(name, periods, self.inputs(name, False), outputs)
            self.expected[name, periods] = [o.tobytes() for o in outputs]
        self.stop = threading.Event()
        self.faults, self.counts = [], {"success": 0, "refused": 0, "writes": 0, "resized": 0}

    def inputs(self, name, spare):
        if indicator(name) == "atr":
            return [self.high, self.low, self.close]
        return [random.choice(self.spares) if spare else self.close]

    @staticmethod
    def outputs(name):
        return [np.full(PANEL if is_panel(name) else N, SENTINEL) for _ in range(3 if indicator(name) == "macd" else 1)]

    def worker(self, index):
        rng, box = random.Random(index), self.boxes[index]
        while not self.stop.is_set():
            name, periods = rng.choice(CALLS)
            spare, boxed = rng.random() < 0.25, rng.random() < 0.25
            inputs, outputs = self.inputs(name, spare), self.outputs(name)
            if boxed:  # only the box and the call's arguments hold the first output
                box.append(outputs.pop(0))
            try:
                call(name, periods, inputs, [box[0]] + outputs if boxed else outputs, threads=rng.randint(1, 3))
                error = None
            except IndexError:  # the churner took the boxed output before the call
                continue
            except (BufferError, TypeError, ValueError) as e:
                error = e
            except BaseException as e:  # anything else is a fault of the module
                self.faults.append(f"{name}{periods}: {e!r}")
                return
            if boxed:
                try:
                    outputs.insert(0, box.pop())
                except IndexError:  # taken (and dropped) by the churner after the call
                    continue
            self.judge(name, periods, spare, outputs, error)

    def judge(self, name, periods, spare, outputs, error):
        if error is None:
            self.counts["success"] += 1
            if [o.tobytes() for o in outputs] != self.expected[name, periods]:
                self.faults.append(f"{name}{periods}: result differs from the single-threaded one")
            return
        self.counts["refused"] += 1
        # A writer may hold the shared inputs; only spares change type or shape.
        if not (str(error) == "AlreadyBorrowed" or spare and isinstance(error, (TypeError, ValueError))):
            self.faults.append(f"{name}{periods}: {error!r}")
        if any((o != SENTINEL).any() for o in outputs):
            self.faults.append(f"{name}{periods}: a refused call wrote its output")

    def writer(self):
        """Another module's writer: borrows an input (or an overlapping, misaligned view of it),
        scribbles NaN over it, puts the values back and releases."""
        rng = random.Random(99)
        while not self.stop.is_set():
            target = rng.choice([self.high, self.low, self.close])
            view = rng.choice([target, target[N // 2:], target.view(np.uint8)[4:-4].view(np.float64)])
            if self.peer.acquire_mut(view) != BORROWED:
                continue
            saved = view.copy()
            view[:] = np.nan
            time.sleep(0)  # let readers run into the borrow
            view[:] = saved
            self.peer.release_mut(view)
            self.counts["writes"] += 1

    def churner(self):
        rng = random.Random(7)
        while not self.stop.is_set():
            box = self.boxes[rng.randrange(WORKERS)]
            try:
                # Refused while a call holds the output; dropped either way.
                box.pop().resize(N // 2)
                self.counts["resized"] += 1
            except (IndexError, ValueError):
                pass
            spare = rng.choice(self.spares)
            for change, back in ((np.float32, np.float64), ((2, N // 2), (N,))):
                attr = "dtype" if change is np.float32 else "shape"
                setattr(spare, attr, change)
                time.sleep(0)
                setattr(spare, attr, back)


def test_threads_meet_a_writer_and_a_churner(peer):
    stress = Stress(peer)
    threads = [threading.Thread(target=stress.worker, args=(i,)) for i in range(WORKERS)]
    threads += [threading.Thread(target=stress.writer), threading.Thread(target=stress.churner)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        time.sleep(PROFILE["stress_seconds"])
    finally:
        stress.stop.set()
        for t in threads:
            t.join(timeout=60)
        sys.setswitchinterval(interval)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    assert stress.faults[:10] == []
    assert stress.counts["success"] > 0 and stress.counts["writes"] > 0, stress.counts
    assert_free(peer, stress.high, stress.low, stress.close, *stress.spares)
