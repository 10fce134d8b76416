"""Compiles the test peer module with the system C compiler and imports it."""

import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path

MODULE_NAME = "veldspar_test_peer"
SOURCE = Path(__file__).with_name("peer.c")


def build_peer(directory: Path) -> Path:
    """Builds the peer into `directory` and returns the path of the extension file."""
    compiler = shlex.split(os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc")
    target = Path(directory) / (MODULE_NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [
        *compiler,
        "-shared",
        "-fPIC",
        "-O2",
        "-I" + sysconfig.get_paths()["include"],
        str(SOURCE),
        "-o",
        str(target),
    ]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"building the peer module failed:\n{' '.join(command)}\n{result.stderr}")
    return target


def load_peer(path: Path):
    """Imports the peer built at `path`."""
    found = importlib.util.spec_from_file_location(MODULE_NAME, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
