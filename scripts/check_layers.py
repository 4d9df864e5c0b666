#!/usr/bin/python3
"""Checks the library's include structure: no file below the exported layer
includes that layer's header, and the source areas form no include cycle.

An area is a source file and its header (qrcode_png.cpp with qrcode_png.h);
area A depends on area B when a file of A includes B's header. Prints each
breach and exits 1, or prints a summary and exits 0.

Usage: scripts/check_layers.py [SOURCE_DIR]   (default: src next to this script)
"""
import pathlib
import re
import sys

API_AREA = "qrcode_api"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def area_of(path):
    return pathlib.Path(path).stem


def dependencies(src):
    """Area -> the set of other areas of `src` whose headers it includes."""
    files = [p for p in src.iterdir() if p.suffix in (".c", ".cpp", ".h")]
    areas = {area_of(p) for p in files}
    deps = {a: set() for a in areas}
    includers = {a: set() for a in areas}
    for path in files:
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            target = area_of(name)
            if target in areas and target != area_of(path):
                deps[area_of(path)].add(target)
                includers[target].add(path.name)
    return deps, includers


def cycles(deps):
    """The strongly connected areas of more than one member (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(a):
        index[a] = low[a] = len(index)
        stack.append(a)
        on_stack.add(a)
        for b in sorted(deps[a]):
            if b not in index:
                visit(b)
                low[a] = min(low[a], low[b])
            elif b in on_stack:
                low[a] = min(low[a], index[b])
        if low[a] == index[a]:
            group = []
            while True:
                b = stack.pop()
                on_stack.discard(b)
                group.append(b)
                if b == a:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    sys.setrecursionlimit(10000)
    for a in sorted(deps):
        if a not in index:
            visit(a)
    return found


def main():
    src = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else \
        pathlib.Path(__file__).resolve().parent.parent / "src"
    deps, includers = dependencies(src)
    problems = []
    below = sorted(f for f in includers.get(API_AREA, ()) if area_of(f) != API_AREA)
    for name in below:
        problems.append(f"{name} includes {API_AREA}.h, the exported layer's header")
    for group in cycles(deps):
        problems.append("include cycle: " + " <-> ".join(group))
    for p in problems:
        print(p)
    if problems:
        return 1
    edges = sum(len(d) for d in deps.values())
    print(f"{len(deps)} areas, {edges} dependencies: no cycle, "
          f"nothing below {API_AREA} includes its header")
    return 0


if __name__ == "__main__":
    sys.exit(main())
