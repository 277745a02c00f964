#!/usr/bin/env python3
"""Fails when an #include runs up a layer or two folders include each other.

The core's folders (paths under core/src) are listed bottom up; a file may
include headers of its own folder and of folders in lower layers, never of a
folder in its own layer or above, so two folders can never include each other.
A file belongs to the longest listed folder its path starts with; a file under
no listed folder fails the check, so a new folder takes its place in the order
first. The binding kit sits on base alone.
"""
import pathlib
import re
import sys

CORE_LAYERS = [
    ["base"],                                # faults, borrow cell, values, small containers, thread-local blocks
    ["json", "dispatcher", "host_boundary"],
    ["identity"],                            # content ids over strict JSON
    ["node"],                                # the engine: nodes, waves, batches
    ["graph"],                               # the graph container
    ["checkpoint"],                          # checkpoints and restore
    ["wire/codec"],                          # wire encodings
    ["wire/bridge"],                         # the bridge over the codecs
    ["wire/edge_group"],                     # edge groups over a bridge
]
# Folders outside core/src: the core folders each may include besides its own.
OUTSIDE = {
    "bindings-py/src/kit": {"base"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCES = ("*.hpp", "*.cpp")


def numbered_includes(path):
    text = path.read_text(encoding="utf-8")
    for match in INCLUDE.finditer(text):
        yield text.count("\n", 0, match.start()) + 1, match.group(1)


def sources(folder):
    for pattern in SOURCES:
        yield from sorted(folder.rglob(pattern))


def listed_folder(relative, folders):
    """The longest listed folder that the path (relative to core/src) lies in."""
    best = None
    for folder in folders:
        if relative == folder or relative.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def included_path(path, target, base):
    """The include as a path relative to `base`: a name found beside the file
    is taken from there, any other is relative to the include root."""
    beside = (path.parent / target).resolve()
    if not beside.exists():
        return target
    return beside.relative_to(base.resolve()).as_posix() if beside.is_relative_to(base.resolve()) else None


def check_core(root, rank, problems):
    src = root / "core" / "src"
    for path in sources(src):
        own = listed_folder(path.parent.relative_to(src).as_posix(), rank)
        shown = path.relative_to(root)
        if own is None:
            problems.append(f"{shown}: its folder has no place in the layer order")
            continue
        for line_no, target in numbered_includes(path):
            relative = included_path(path, target, src)
            head = listed_folder(relative, rank) if relative else None
            if head == own:
                continue
            if head is None:
                problems.append(f"{shown}:{line_no}: includes \"{target}\", which lies in no listed folder")
            elif rank[head] >= rank[own]:
                where = "the same layer" if rank[head] == rank[own] else "a layer above"
                problems.append(f"{shown}:{line_no}: {own} includes \"{target}\" of {where}")


def check_outside(root, rank, problems):
    src = root / "core" / "src"
    for name, allowed in OUTSIDE.items():
        folder = (root / name).resolve()
        for path in sources(folder):
            for line_no, target in numbered_includes(path):
                beside = (path.parent / target).resolve()
                if beside.exists() and beside.is_relative_to(folder):
                    continue
                if target.startswith(folder.name + "/"):
                    continue
                head = listed_folder(target, rank) if (src / target).exists() else None
                if head not in allowed:
                    problems.append(f"{path.relative_to(root.resolve())}:{line_no}: {name} may include only its own "
                                    f"headers and {', '.join(sorted(allowed))}, not \"{target}\"")


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    rank = {folder: level for level, layer in enumerate(CORE_LAYERS) for folder in layer}
    problems = []
    check_core(root, rank, problems)
    check_outside(root, rank, problems)
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
