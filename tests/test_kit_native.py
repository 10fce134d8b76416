"""veldspar_kit's extension module: one interpreter owns it, and it adds no exception type to the process."""
import sys

from conftest import run_python
from test_module import RUN_IN_SUBINTERPRETER

OTHER_INTERPRETER = ("veldspar_kit._native serves only the interpreter that imported it first: its caches "
                     "(NumPy's C-API table, the borrow registry, its types) belong to the whole process, so no "
                     "other interpreter may import it")

# Loads the extension alone, without the package (whose __init__ imports the module and NumPy).
LOAD_NATIVE = """
import importlib.machinery, importlib.util, sys
def load_native():
    package = importlib.util.find_spec('veldspar_kit')
    found = importlib.machinery.PathFinder.find_spec('veldspar_kit._native', package.submodule_search_locations)
    return importlib.util.module_from_spec(found)
"""

COUNT_PANIC = "sum(c.__name__ == 'PanicException' for c in BaseException.__subclasses__())"


def test_reimport_returns_the_same_module_object():
    import veldspar_kit._native as first
    sys.modules.pop("veldspar_kit._native")
    try:
        import veldspar_kit._native as again
        assert again is first
    finally:
        sys.modules["veldspar_kit._native"] = first


def test_the_kit_never_creates_panic_exception():
    # The module makes the type at its import; the kit, imported first or after, makes none of its own,
    # not even when it fetches an error (here from a period's __index__).
    result = run_python(
        LOAD_NATIVE
        + "native = load_native()\n"
        "class Bad:\n"
        "    def __index__(self): raise KeyError('planted')\n"
        "try:\n"
        "    native.SMA(Bad())\n"
        "except KeyError:\n"
        "    pass\n"
        f"print({COUNT_PANIC})\n"
        "import veldspar\n"
        f"print({COUNT_PANIC})\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "1"]


def test_import_in_a_subinterpreter_is_refused():
    refused = (LOAD_NATIVE
               + "import os\n"
               "try:\n"
               "    load_native()\n"
               "except ImportError as error:\n"
               "    os.write(1, ('refused: ' + str(error) + '\\n').encode())\n")
    result = run_python(
        LOAD_NATIVE
        + "native = load_native()\n"
        + RUN_IN_SUBINTERPRETER
        + f"run_in_subinterpreter('legacy', {refused!r})\n"
        "print(load_native() is native)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["refused: " + OTHER_INTERPRETER, "True"]
