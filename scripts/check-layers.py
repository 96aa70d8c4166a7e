#!/usr/bin/python3
"""Fails when a daemon source includes a header above its own layer.

The map (README.md, "Layers") orders the daemon's folders from the bottom
up. A few headers are foundation wherever they live: they sit at a lower
layer than their folder and may include only what lies at or below theirs.
An #include "folder/file.h" is allowed when the included file's layer is
not above the including file's layer; a file at its folder's layer may also
include any file of its folder.
Sources (.cpp) take their folder's layer, headers their listed layer if
they have one. Includes of files outside the map (tests, emulation) fail.

    scripts/check-layers.py [TOP]    exit 0 when every include keeps to
                                     the map, else 1 and one line each
"""
import os
import re
import sys

# Bottom first; each entry a folder ("log/") or a header named alone.
LAYERS = [
    ("foundation", ["common/", "app/run_config.h", "app/time_string.h",
                    "capture/xioctl.h", "capture/time_group.h"]),
    ("logging", ["log/"]),
    ("control record", ["control/"]),
    ("board", ["board/"]),
    ("words the workers share", ["capture/video_creation.h"]),
    ("upload", ["upload/"]),
    ("streaming", ["streaming/"]),
    ("direct V4L2 path", ["v4l2/"]),
    ("default capture path", ["capture/"]),
    ("start-up and the companion tool", ["app/", "companion/"]),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def layer_of(path):
    """(index, name) of a path relative to the top, or None outside the map."""
    for index, (name, entries) in enumerate(LAYERS):
        if path in entries:
            return index, name
    folder = path.split("/", 1)[0] + "/"
    for index, (name, entries) in enumerate(LAYERS):
        if folder in entries:
            return index, name
    return None


def own_layer(path):
    """The layer a file includes from: headers as listed, sources by folder."""
    if path.endswith(".h"):
        return layer_of(path)
    return layer_of(path.split("/", 1)[0] + "/")


def same_folder_layer(rel, target):
    """A file at its folder's layer may include any file of its folder; a
    header listed lower may not (it stays foundation)."""
    folder = rel.split("/", 1)[0]
    return target.split("/", 1)[0] == folder and own_layer(rel) == layer_of(folder + "/")


def check(top):
    folders = sorted({e.split("/", 1)[0] for _, entries in LAYERS for e in entries})
    faults = []
    for folder in folders:
        for dirpath, _, files in os.walk(os.path.join(top, folder)):
            for f in sorted(files):
                if not f.endswith((".h", ".cpp")):
                    continue
                full = os.path.join(dirpath, f)
                rel = os.path.relpath(full, top)
                here = own_layer(rel)
                with open(full, encoding="utf-8") as src:
                    text = src.read()
                for m in INCLUDE.finditer(text):
                    target = m.group(1)
                    if "/" not in target:
                        target = os.path.join(os.path.dirname(rel), target)
                    line = text.count("\n", 0, m.start()) + 1
                    there = layer_of(target)
                    if there is None:
                        faults.append("%s:%d: includes %s, which is outside the layer map" % (rel, line, target))
                    elif there[0] > here[0] and not same_folder_layer(rel, target):
                        faults.append("%s:%d: includes %s: %s (layer %d) reaches up to %s (layer %d)"
                                      % (rel, line, target, here[1], here[0], there[1], there[0]))
    return faults


def main():
    top = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    faults = check(top)
    for fault in faults:
        print(fault)
    if faults:
        print("%d include(s) climb the layer map (README.md, \"Layers\")" % len(faults))
        return 1
    print("every include keeps to the layer map")
    return 0


if __name__ == "__main__":
    sys.exit(main())
