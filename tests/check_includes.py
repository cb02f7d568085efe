#!/usr/bin/env python3
"""Fails when the includes of src/ run in a circle.

A header and its source are one subsystem: x.cpp may include x.h, but when the subsystem x
includes y (from x.h or x.cpp), y must not include x back, directly or through others.
Prints every circle it finds and exits with 1; prints the order from the bottom up otherwise.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def subsystem_graph(src):
    graph = {}
    for path in sorted(src.glob("*.[ch]*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        deps = graph.setdefault(path.stem, set())
        for name in INCLUDE.findall(path.read_text()):
            stem = pathlib.Path(name).stem
            if stem != path.stem:
                deps.add(stem)
    return graph


def circles(graph):
    """Every elementary circle found by a depth-first search, each once."""
    found, state = [], {}

    def visit(node, trail):
        state[node] = "open"
        for dep in sorted(graph.get(node, ())):
            if state.get(dep) == "open":
                found.append(trail[trail.index(dep):] + [dep])
            elif dep not in state:
                visit(dep, trail + [dep])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    return found


def bottom_up(graph):
    order, done = [], set()

    def place(node):
        if node in done:
            return
        done.add(node)
        for dep in sorted(graph.get(node, ())):
            place(dep)
        order.append(node)

    for node in sorted(graph):
        place(node)
    return order


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    graph = subsystem_graph(src)
    if not graph:
        print(f"no sources in {src}")
        return 1
    found = circles(graph)
    for circle in found:
        print("includes run in a circle: " + " -> ".join(circle))
    if found:
        return 1
    print("includes run one way, bottom up: " + ", ".join(bottom_up(graph)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
