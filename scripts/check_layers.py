#!/usr/bin/env python3
"""Checks that #includes run down the layers (fault, core, table, frame, numpy, indicators, then module and kit) and that no files include each other.

    python3 scripts/check_layers.py [--root DIR]

Every C and C++ file under core/, module/, numpy/ and kit/ belongs to one
layer. An include may name a file of its own layer or of a layer below, never
one above, and the include graph between files has no cycle. The module and
the kit (veldspar_kit's extension) sit side by side on top: neither includes
the other's files; both read the texts of the module's checks from the
module's one public header folder. Headers from outside the
tree are checked too: the kernels see no Python, the frame no NumPy, and only
the module on top names the kernels' API. NumPy's own headers are included by
the api unit alone (it names the C-API table they read), and only the api unit
knows which NumPy runs. Prints each violation and exits 1.
"""
import argparse
import re
import sys
from pathlib import Path

# Bottom to top: (name, folder, include directory). A file belongs to the layer of the longest
# folder that holds it (numpy/table is the table's, not NumPy access's).
LAYERS = [
    ("fault", "core/fault", "core/fault/include"),
    ("core", "core", "core/include"),
    ("table", "numpy/table", "numpy/table/include"),
    ("frame", "module/frame", "module/frame/include"),
    ("numpy", "numpy", "numpy/include"),
    ("indicators", "module/include", "module/include"),
    ("module", "module", None),
    ("kit", "kit", None),
]
# Layers on one level: each is above everything below it, and neither includes the other.
BESIDE = {"module": {"kit"}, "kit": {"module"}}
# Headers from outside the tree that a layer must not include, by path prefix.
FOREIGN = {
    "fault": ("Python.h", "numpy/"),
    "core": ("Python.h", "numpy/"),
    "table": ("Python.h", "numpy/"),
    "frame": ("numpy/",),
}
# Headers of the tree, by path prefix, that only the named layers may include: the kernels' API is
# the module's to wire, never the table's, the frame's or NumPy access's.
RESERVED = {"core/include/veldspar/core/": {"core", "module", "kit"}}
# The api unit: the one place that includes NumPy's headers (under the table's name of this
# module) and the one that reads the running NumPy's version.
API_UNIT = {"numpy/include/veldspar/numpy/api.hpp", "numpy/src/api.cpp"}
NUMPY_HEADERS = "numpy/"
VERSION_WORDS = re.compile(r"\b(PyArray_RUNTIME_VERSION|NPY_2_0_API_VERSION|PyArray_GetNDArrayCFeatureVersion|"
                           r"_PyArray_DescrNumPy2|PyArray_DescrProto)\b")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
SOURCES = {".c", ".cc", ".cpp", ".h", ".hpp"}


def layer_of(path, root):
    relative = path.relative_to(root).as_posix()
    holding = [rank for rank, (_, folder, _) in enumerate(LAYERS) if relative.startswith(folder + "/")]
    return max(holding, key=lambda rank: len(LAYERS[rank][1])) if holding else None


def resolve(source, quote, name, root):
    candidates = [source.parent / name] if quote == '"' else []
    candidates += [root / include / name for _, _, include in LAYERS if include]
    for candidate in candidates:
        if candidate.is_file():
            return candidate.resolve()
    return None


def check(root):
    root = root.resolve()
    files = sorted(p.resolve() for _, folder, _ in LAYERS for p in (root / folder).rglob("*") if p.suffix in SOURCES)
    files = sorted(set(files))
    problems, graph = [], {}
    for source in files:
        rank = layer_of(source, root)
        name = LAYERS[rank][0]
        where = source.relative_to(root).as_posix()
        graph[source] = []
        text = source.read_text()
        if where not in API_UNIT:
            for word in sorted(set(VERSION_WORDS.findall(text))):
                problems.append(f"{where}: reads NumPy's version ({word}) outside the api unit")
        for quote, included in INCLUDE.findall(text):
            target = resolve(source, quote, included, root)
            if target is None:
                if included.startswith(FOREIGN.get(name, ())):
                    problems.append(f"{where}: the {name} layer includes <{included}>")
                elif included.startswith(NUMPY_HEADERS) and where not in API_UNIT:
                    problems.append(f"{where}: includes <{included}>, which only the api unit includes")
                continue
            graph[source].append(target)
            target_rank = layer_of(target, root)
            target_where = target.relative_to(root).as_posix()
            if target_rank is not None and LAYERS[target_rank][0] in BESIDE.get(name, ()):
                problems.append(f"{where}: includes {target_where} of the {LAYERS[target_rank][0]} layer, "
                                f"beside the {name} layer")
            elif target_rank is None or target_rank > rank:
                above = "outside the layers" if target_rank is None else f"the {LAYERS[target_rank][0]} layer"
                problems.append(f"{where}: includes {target_where} of {above}, above the {name} layer")
            allowed = next((names for prefix, names in RESERVED.items() if target_where.startswith(prefix)), {name})
            if name not in allowed:
                problems.append(f"{where}: the {name} layer includes {target_where}")
    problems += cycles(graph, root)
    return problems


def cycles(graph, root):
    found, state = [], {}  # state: 1 on the current path, 2 done

    def visit(node, path):
        state[node] = 1
        path.append(node)
        for target in graph.get(node, []):
            if state.get(target) == 1:
                loop = path[path.index(target):] + [target]
                found.append("include cycle: " + " -> ".join(p.relative_to(root).as_posix() for p in loop))
            elif target not in state:
                visit(target, path)
        path.pop()
        state[node] = 2

    for node in graph:
        if node not in state:
            visit(node, [])
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    problems = check(parser.parse_args().root)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print("includes run down the layers; no include cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
