#!/usr/bin/python3
"""Fails when a daemon source includes a header above its own layer, or
when units include each other round a loop.

The map (README.md, "Layers") orders the daemon's folders from the bottom
up. An #include "folder/file.h" is allowed when the included file's folder
is not above the including file's folder. A unit is a header with its
source (x.h and x.cpp); a unit that reaches itself again through the
includes of other units is a loop, even within one folder: the road
through the units must read one way. Includes of files outside the map
(tests, emulation) fail.

    scripts/check-layers.py [TOP]    exit 0 when every include keeps to
                                     the map, else 1 and one line each
"""
import os
import re
import sys

# Bottom first.
LAYERS = [
    ("foundation", "common/"),
    ("logging", "log/"),
    ("control record", "control/"),
    ("board", "board/"),
    ("upload", "upload/"),
    ("streaming", "streaming/"),
    ("direct V4L2 path", "v4l2/"),
    ("default capture path", "capture/"),
    ("start-up", "app/"),
    ("the companion tool", "companion/"),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def layer_of(path):
    """(index, name) of a path relative to the top, or None outside the map."""
    folder = path.split("/", 1)[0] + "/"
    for index, (name, entry) in enumerate(LAYERS):
        if folder == entry:
            return index, name
    return None


def includes(top):
    """(file, line, included file) of every quoted include in the map's folders."""
    found = []
    for _, folder in LAYERS:
        for dirpath, _, files in os.walk(os.path.join(top, folder)):
            for f in sorted(files):
                if not f.endswith((".h", ".cpp")):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, f), top)
                with open(os.path.join(top, rel), encoding="utf-8") as src:
                    text = src.read()
                for m in INCLUDE.finditer(text):
                    target = m.group(1)
                    if "/" not in target:
                        target = os.path.join(os.path.dirname(rel), target)
                    found.append((rel, text.count("\n", 0, m.start()) + 1, target))
    return found


def unit(path):
    return os.path.splitext(path)[0]


def loops(edges):
    """The units that lie on a loop, each loop as a list (Tarjan's strongly
    connected components of more than one unit)."""
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
        graph.setdefault(b, set())
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def check(top):
    faults = []
    edges = []
    where = {}
    for rel, line, target in includes(top):
        here, there = layer_of(rel), layer_of(target)
        if there is None:
            faults.append("%s:%d: includes %s, which is outside the layer map" % (rel, line, target))
            continue
        if there[0] > here[0]:
            faults.append("%s:%d: includes %s: %s (layer %d) reaches up to %s (layer %d)"
                          % (rel, line, target, here[1], here[0], there[1], there[0]))
        if unit(rel) != unit(target):
            edges.append((unit(rel), unit(target)))
            where.setdefault((unit(rel), unit(target)), "%s:%d" % (rel, line))
    for component in loops(edges):
        members = set(component)
        steps = ["%s includes %s (%s)" % (a, b, where[(a, b)]) for (a, b) in sorted(where) if a in members and b in members]
        faults.append("include loop between %s: %s" % (", ".join(component), "; ".join(steps)))
    return faults


def main():
    top = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    faults = check(top)
    for fault in faults:
        print(fault)
    if faults:
        print("%d include fault(s): the layer map or a loop (README.md, \"Layers\")" % len(faults))
        return 1
    print("every include keeps to the layer map, and no units include each other round a loop")
    return 0


if __name__ == "__main__":
    sys.exit(main())
