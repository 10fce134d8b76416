"""The include check of scripts/check_layers.py: the tree passes, and each kind of violation fails it."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CHECK = ROOT / "scripts" / "check_layers.py"


def run_check(root):
    return subprocess.run([sys.executable, str(CHECK), "--root", str(root)], capture_output=True, text=True)


@pytest.fixture
def tree(tmp_path):
    for folder in ("core", "module", "numpy", "kit"):
        shutil.copytree(ROOT / folder, tmp_path / folder)
    return tmp_path


def test_the_tree_passes():
    done = run_check(ROOT)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("path, include, complaint", [
    ("module/frame/src/frame.cpp", '"veldspar/numpy/array.hpp"',
     "module/frame/src/frame.cpp: includes numpy/include/veldspar/numpy/array.hpp of the numpy layer"),
    ("core/src/sma.cpp", '"veldspar/frame/object.hpp"', "core/src/sma.cpp: includes module/frame/include/veldspar/frame"),
    ("core/fault/src/fault.cpp", '"veldspar/core/core.hpp"', "of the core layer, above the fault layer"),
    ("numpy/src/array.cpp", '"../../module/src/entry.hpp"', "of the module layer, above the numpy layer"),
    ("core/src/ema.cpp", "<Python.h>", "core/src/ema.cpp: the core layer includes <Python.h>"),
    ("numpy/table/src/borrow_table.cpp", "<numpy/ndarraytypes.h>", "the table layer includes <numpy/ndarraytypes.h>"),
    ("numpy/table/src/borrow_table.cpp", '"veldspar/numpy/array.hpp"', "of the numpy layer, above the table layer"),
    ("module/frame/src/error.cpp", "<numpy/ndarraytypes.h>", "the frame layer includes <numpy/ndarraytypes.h>"),
    ("numpy/src/array.cpp", '"veldspar/core/core.hpp"', "the numpy layer includes core/include/veldspar/core/core.hpp"),
    ("kit/src/module.cpp", '"../../module/src/entry.hpp"',
     "kit/src/module.cpp: includes module/src/entry.hpp of the module layer, beside the kit layer"),
    ("module/src/module.cpp", '"../../kit/src/messages.hpp"', "of the kit layer, beside the module layer"),
    ("numpy/src/array.cpp", '"veldspar/indicators/messages.hpp"', "of the indicators layer, above the numpy layer"),
    ("core/src/access.hpp", '"atr.cpp"', "include cycle: core/src/access.hpp -> core/src/atr.cpp -> core/src/access.hpp"),
    ("numpy/src/array.cpp", "<numpy/ndarraytypes.h>", "numpy/src/array.cpp: includes <numpy/ndarraytypes.h>, which only"),
    ("numpy/src/registry_capsule.cpp", "<numpy/npy_2_compat.h> // PyArray_RUNTIME_VERSION",
     "numpy/src/registry_capsule.cpp: reads NumPy's version (PyArray_RUNTIME_VERSION) outside the api unit"),
])
def test_a_violation_fails_the_check(tree, path, include, complaint):
    source = tree / path
    source.write_text(f"#include {include}\n" + source.read_text())
    done = run_check(tree)
    assert done.returncode == 1
    assert complaint in done.stderr
