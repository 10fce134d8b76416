"""The module object, its functions and their signatures; import in unusual processes."""
import ast
import inspect
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import veldspar
from conftest import run_python

SIGNATURES = {
    "indicator_sma": "(period, data, output)",
    "indicator_ema": "(period, data, output)",
    "indicator_macd": "(fast_period, slow_period, signal_period, data, macd_output, signal_output, hist_output)",
    "indicator_atr": "(period, high, low, close, output)",
}


def test_module_exports_exactly_the_four_functions_in_order():
    assert veldspar.__all__ == ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]
    public = sorted(name for name in vars(veldspar) if not name.startswith("__"))
    assert public == sorted(veldspar.__all__)
    assert veldspar.__doc__ == ""


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_object(name):
    function = getattr(veldspar, name)
    assert function.__name__ == name
    assert function.__module__ == "veldspar"
    assert function.__self__ is veldspar
    assert function.__doc__ is None
    assert function.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(function)) == SIGNATURES[name]


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("veldspar")
    try:
        import veldspar as again
        assert again is first
        assert again.__all__ == first.__all__  # the functions were not added twice
    finally:
        sys.modules["veldspar"] = first


def panic_classes():
    return [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"]


def test_panic_exception_type_exists_once_and_is_hidden():
    # Every module of the process built on the same runtime makes its own (hypothesis ships
    # one); the first-import test below counts ours in a fresh interpreter.
    classes = panic_classes()
    panic = classes[0]
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == (
        "\nThe exception raised when Rust code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n")
    assert len(panic.__doc__) == 235
    assert not hasattr(veldspar, "PanicException")
    saved = sys.modules.pop("veldspar")
    try:
        __import__("veldspar")
        assert panic_classes() == classes
    finally:
        sys.modules["veldspar"] = saved


def test_panic_exception_is_created_by_the_first_import():
    result = run_python(
        "import sys\n"
        "before = [c for c in BaseException.__subclasses__() if c.__name__ == 'PanicException']\n"
        "import veldspar\n"
        "after = [c for c in BaseException.__subclasses__() if c.__name__ == 'PanicException']\n"
        "print(len(before), len(after))\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "1"]


SUBINTERPRETER_MESSAGE = ("PyO3 modules do not yet support subinterpreters, see "
                          "https://docs.python.org/3/c-api/init.html#sub-interpreter-support")

# Runs a script in a new sub-interpreter of the given configuration ("legacy": shares the main
# interpreter's GIL and allocator, as embedders' sub-interpreters do; "isolated": its own GIL)
# and raises if the script does. The module was `_xxsubinterpreters` up to 3.12, `_interpreters`
# from 3.13 on; the isolated configuration exists from 3.12 on.
RUN_IN_SUBINTERPRETER = """
import importlib.util
def run_in_subinterpreter(config, script):
    if importlib.util.find_spec('_interpreters'):
        import _interpreters
        sub = _interpreters.create(config)
        failure = _interpreters.run_string(sub, script)
        _interpreters.destroy(sub)
        if failure is not None:
            raise RuntimeError(failure.errdisplay)
        return
    import _xxsubinterpreters
    if sys.version_info >= (3, 12):
        sub = _xxsubinterpreters.create(isolated=config == 'isolated')
    elif config == 'legacy':
        sub = _xxsubinterpreters.create()
    else:
        print('no isolated sub-interpreters')
        raise SystemExit(0)
    try:
        _xxsubinterpreters.run_string(sub, script)
    finally:
        _xxsubinterpreters.destroy(sub)
"""

# The sub-interpreter reports the refusal through the process's stdout: its own sys.stdout is
# another object whose buffer the main interpreter never flushes.
REFUSED_IMPORT = """
import os
try:
    import veldspar
except ImportError as error:
    os.write(1, ('refused: ' + str(error) + '\\n').encode())
else:
    raise AssertionError('imported')
"""


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_import_in_a_subinterpreter_is_refused(config):
    result = run_python(
        "import sys\n"
        "import numpy as np, veldspar\n"
        + RUN_IN_SUBINTERPRETER
        + f"run_in_subinterpreter({config!r}, {REFUSED_IMPORT!r})\n"
        "out = np.empty(3)\n"
        "veldspar.indicator_sma(2, np.array([1.0, 2.0, 3.0]), out)\n"
        "print(out.tolist())\n"
        "print(sys.modules['veldspar'] is veldspar)\n")
    assert result.returncode == 0, result.stderr
    if result.stdout == "no isolated sub-interpreters\n":
        pytest.skip(f"Python {sys.version_info.major}.{sys.version_info.minor} has no isolated sub-interpreters")
    refusal, *after = result.stdout.splitlines()
    if config == "legacy":
        assert refusal == "refused: " + SUBINTERPRETER_MESSAGE
    else:
        # The interpreter itself refuses single-phase modules where each interpreter has its own GIL.
        assert refusal == "refused: module veldspar does not support loading in subinterpreters"
    assert after == ["[nan, 1.5, 2.5]", "True"]


def test_import_works_without_numpy_and_calls_fail_cleanly():
    # NumPy is blocked for the first call, then allowed: the failed attempt
    # caches nothing, so the next call succeeds.
    result = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "import veldspar\n"
        "try:\n"
        "    veldspar.indicator_sma(2, [1.0], [0.0])\n"
        "except ImportError as error:\n"
        "    print(type(error).__name__, error)\n"
        "    print(type(error.__cause__).__name__)\n"
        "del sys.modules['numpy']\n"
        "import numpy as np\n"
        "out = np.zeros(3)\n"
        "veldspar.indicator_sma(2, np.array([1.0, 2.0, 3.0]), out)\n"
        "print(out.tolist())\n")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("ImportError Failed to access NumPy array API capsule: ModuleNotFoundError: ")
    assert lines[1] == "ModuleNotFoundError"
    assert lines[2] == "[nan, 1.5, 2.5]"


def test_a_broken_array_api_capsule_is_refused_without_writing():
    result = run_python(
        "import numpy as np\n"
        "core = np._core.multiarray if hasattr(np, '_core') else np.core.multiarray\n"
        "saved = core._ARRAY_API\n"
        "core._ARRAY_API = 'not a capsule'\n"
        "import veldspar\n"
        "out = np.zeros(2)\n"
        "try:\n"
        "    veldspar.indicator_sma(1, np.ones(2), out)\n"
        "except ImportError as error:\n"
        "    print(error)\n"
        "    print(type(error.__cause__).__name__)\n"
        "print(out.tolist())\n"
        "core._ARRAY_API = saved\n"
        "veldspar.indicator_sma(1, np.ones(2), out)\n"
        "print(out.tolist())\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "Failed to access NumPy array API capsule: TypeError: 'str' object cannot be converted to 'PyCapsule'",
        "TypeError",
        "[0.0, 0.0]",
        "[1.0, 1.0]",
    ]


def test_core_module_follows_the_numpy_major_version():
    core = "numpy._core.multiarray" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core.multiarray"
    result = run_python(
        "import sys, numpy as np, veldspar\n"
        f"sys.modules.pop({core!r}).__dict__  # the module must be imported again by name\n"
        "veldspar.indicator_sma(1, np.ones(1), np.empty(1))\n"
        f"print({core!r} in sys.modules)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


def test_panic_exception_from_python_aborts_with_its_traceback():
    result = run_python(
        "import numpy as np, veldspar\n"
        "Panic = next(c for c in BaseException.__subclasses__() if c.__name__ == 'PanicException')\n"
        "class Period:\n"
        "    def __index__(self):\n"
        "        raise Panic('resumed from Python')\n"
        "veldspar.indicator_sma(Period(), np.ones(3), np.empty(3))\n"
        "print('survived')\n")
    assert result.returncode == -signal.SIGABRT
    assert "survived" not in result.stdout
    assert result.stderr.startswith(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
        "Traceback (most recent call last):\n")
    assert "__index__" in result.stderr
    assert result.stderr.rstrip().endswith("pyo3_runtime.PanicException: resumed from Python")


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", veldspar.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_veldspar"]


SOURCE = Path(__file__).resolve().parents[1] / "module"


def stub_functions():
    stub = ast.parse((SOURCE / "veldspar-stubs" / "__init__.pyi").read_text())
    return stub, {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}


def test_type_stub_matches_the_module():
    stub, functions = stub_functions()
    exported = next(node.value for node in stub.body
                    if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert ast.literal_eval(exported) == veldspar.__all__
    assert {name: f"({', '.join(a.arg for a in node.args.args)})" for name, node in functions.items()} == SIGNATURES


def value_error_texts():
    """The texts the entry functions raise as ValueError, read from their sources."""
    texts = {}
    header = "".join(path.read_text() for path in (SOURCE / "src" / "messages.hpp",
                                                   SOURCE / "include" / "veldspar" / "indicators" / "messages.hpp"))
    for name, value in re.findall(r"\b(k\w+)(?:\[\d*\])?\s*=\s*([^;]+);", header):
        literals = re.findall(r'"([^"]*)"', value)
        texts[name] = literals if value.lstrip().startswith("{") else ["".join(literals)]
    raised = set()
    for source in (SOURCE / "src").glob("*.cpp"):
        raised.update(re.findall(r"value_error\(messages::(k\w+)", source.read_text()))
    return {text for name in raised for text in texts[name]}


def test_stub_docstrings_name_exactly_the_module_messages():
    # Editors show these docstrings on hover; a message changed in the code must change here.
    named = set()
    for name, node in stub_functions()[1].items():
        docstring = ast.get_docstring(node)
        assert docstring, name
        messages = re.findall(r'ValueError: "([^"]+)"', docstring)
        assert messages, name
        assert len(messages) == len(set(messages)), name
        named.update(messages)
    assert named == value_error_texts()
