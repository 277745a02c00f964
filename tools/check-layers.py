#!/usr/bin/env python3
"""Fails when an #include runs up a layer or two folders include each other.

Two trees are checked, each with its folders listed bottom up: the core
(core/src) and the extension module (bindings-py/src), which sits on top of
the whole core. A file may include headers of its own folder and of folders
in lower layers of its tree, never of a folder in its own layer or above, so
two folders can never include each other. A file belongs to the longest
listed folder its path starts with; a file under no listed folder fails the
check, so a new folder takes its place in the order first. The binding kit
sits on the core's base alone.
"""
import pathlib
import re
import sys

CORE_LAYERS = [
    ["base"],                                # faults, borrow cell, values, small containers, thread-local blocks
    ["json", "dispatcher", "host_boundary"],
    ["identity"],                            # content ids over strict JSON
    ["node/arena"],                          # the engine's node slots, handles and node state
    ["node/wave"],                           # the wave: down, dep sinks, runs, pending, batches, deferred ops
    ["node/topology"],                       # subscribe, unsubscribe, rewire and the node operations over them
    ["graph"],                               # the graph container
    ["checkpoint"],                          # checkpoints and restore
    ["wire/codec"],                          # wire encodings
    ["wire/bridge"],                         # the bridge over the codecs
    ["wire/edge_group"],                     # edge groups over a bridge
]
BINDING_LAYERS = [
    ["kit"],                                 # typed references, argument matching, heap types
    ["values"],                              # Python values in the runtime, strict JSON
    ["boundary"],                            # the guard, callback outcomes, the pending fatal
    ["subscriptions"],                       # subscriber and observer sinks
    ["nodes"],                               # Node, Ctx and the node callbacks
    ["graphs"],                              # the graph's own methods
    ["checkpoints", "wires"],                # checkpoint and restore; the wire adapters
    ["module"],                              # the module, its functions and the classes that list every area
]
# The core folders a binding folder may include; any other binding folder
# may include every core folder.
BINDING_CORE_ALLOWED = {"kit": {"base"}}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
SOURCES = ("*.hpp", "*.cpp")


def ranks(layers):
    return {folder: level for level, layer in enumerate(layers) for folder in layer}


def numbered_includes(path):
    text = path.read_text(encoding="utf-8")
    for match in INCLUDE.finditer(text):
        yield text.count("\n", 0, match.start()) + 1, match.group(1)


def sources(folder):
    for pattern in SOURCES:
        yield from sorted(folder.rglob(pattern))


def listed_folder(relative, folders):
    """The longest listed folder that the path (relative to its tree) lies in."""
    best = None
    for folder in folders:
        if relative == folder or relative.startswith(folder + "/"):
            if best is None or len(folder) > len(best):
                best = folder
    return best


def resolve(path, target, trees):
    """(tree name, path relative to that tree) of an include: a name found
    beside the file first, then under each include root in order."""
    candidates = [(path.parent / target).resolve()] + [(root / target).resolve() for _, root in trees]
    for candidate in candidates:
        if not candidate.exists():
            continue
        for name, root in trees:
            if candidate.is_relative_to(root.resolve()):
                return name, candidate.relative_to(root.resolve()).as_posix()
    return None, None


def check_tree(root, name, layers, trees, may_include_tree, problems):
    src = dict(trees)[name]
    rank = ranks(layers)
    for path in sources(src):
        own = listed_folder(path.parent.relative_to(src).as_posix(), rank)
        shown = path.relative_to(root)
        if own is None:
            problems.append(f"{shown}: its folder has no place in the layer order")
            continue
        for line_no, target in numbered_includes(path):
            tree, relative = resolve(path, target, trees)
            if tree is not None and tree != name:
                allowed = may_include_tree(own, tree, relative)
                if allowed is not True:
                    problems.append(f"{shown}:{line_no}: {own} includes \"{target}\"; {allowed}")
                continue
            head = listed_folder(relative, rank) if relative else None
            if head == own:
                continue
            if head is None:
                problems.append(f"{shown}:{line_no}: includes \"{target}\", which lies in no listed folder")
            elif rank[head] >= rank[own]:
                where = "the same layer" if rank[head] == rank[own] else "a layer above"
                problems.append(f"{shown}:{line_no}: {own} includes \"{target}\" of {where}")


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    core = ("core", root / "core" / "src")
    bindings = ("bindings", root / "bindings-py" / "src")
    core_rank = ranks(CORE_LAYERS)

    def core_includes_nothing_outside(own, tree, relative):
        return "the core includes nothing of the extension module"

    def bindings_on_core(own, tree, relative):
        allowed = BINDING_CORE_ALLOWED.get(own)
        head = listed_folder(relative, core_rank)
        if head is None:
            return "it lies in no listed core folder"
        if allowed is not None and head not in allowed:
            return f"{own} may include only its own headers and {', '.join(sorted(allowed))} of the core"
        return True

    problems = []
    check_tree(root, "core", CORE_LAYERS, [core, bindings], core_includes_nothing_outside, problems)
    check_tree(root, "bindings", BINDING_LAYERS, [bindings, core], bindings_on_core, problems)
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
