"""Runs the examples as their users do: as scripts, with small sizes."""
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(EXAMPLES))


def bits(a):
    """The exact bit patterns, so that NaN equals NaN and -0.0 differs from 0.0."""
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


@pytest.fixture
def run():
    def run(script, *args, blocked=None, check=True, env=None):
        # `blocked` makes an import fail, as if that package were not installed.
        code = ["import runpy, sys", f"sys.argv = {[script, *map(str, args)]!r}",
                f"sys.modules[{blocked!r}] = None" if blocked else "",
                f"runpy.run_path({str(EXAMPLES / script)!r}, run_name='__main__')"]
        env = dict(os.environ, PYTHONPATH=str(EXAMPLES), MPLBACKEND="Agg", **(env or {}))
        done = subprocess.run([sys.executable, "-c", "\n".join(code)], env=env,
                              capture_output=True, text=True, timeout=300)
        if check:
            assert done.returncode == 0, done.stderr
        return done
    return run
