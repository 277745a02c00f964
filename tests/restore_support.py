"""Checkpoint records written by hand, and descriptors, for the restore tests."""

FORMAT = "korvalinth.checkpoint.v1"


def cp_node(id, ref="state", deps=(), value=None, status=None, config=None, meta=None, activated=False,
            called=False, terminal="none", name=None, counter=None):
    """A node record; value None is a sentinel, a 1-tuple (v,) holds v."""
    factory = {"kind": "registry-ref", "ref": ref}
    if config is not None:
        factory["config"] = config
    has_value = value is not None
    record = {
        "id": id,
        "factory": factory,
        "status": status or ("settled" if has_value else "sentinel"),
        "deps": list(deps),
        "value": {"kind": "DATA", "data": value[0]} if has_value else {"kind": "SENTINEL"},
        "terminal": {"kind": terminal},
        "lifecycle": {"activated": activated, "hasCalledFnOnce": called},
        "ctxState": {"persist": False, "value": {"kind": "SENTINEL"}},
        "version": {"level": 0, "counter": counter if counter is not None else (1 if has_value else 0)},
    }
    if name is not None:
        record["name"] = name
    if meta is not None:
        record["meta"] = meta
    return record


def checkpoint(nodes, name=None, mounts=None):
    edges = [{"from": dep, "to": n["id"]} for n in nodes for dep in dict.fromkeys(n["deps"])]
    out = {"version": FORMAT, "nodes": nodes, "edges": edges}
    if name is not None:
        out["name"] = name
    if mounts is not None:
        out["mounts"] = [{"at": at, "checkpoint": child} for at, child in mounts]
    return out


def by_id(checkpoint_dict):
    """The checkpoint with its nodes in id order (restore registers in that order)."""
    out = dict(checkpoint_dict)
    out["nodes"] = sorted(checkpoint_dict["nodes"], key=lambda n: n["id"])
    if "mounts" in out:
        out["mounts"] = [{"at": m["at"], "checkpoint": by_id(m["checkpoint"])} for m in out["mounts"]]
    return out


class Entry:
    """A descriptor entry whose create is the given function."""

    def __init__(self, ref, create):
        self.ref = ref
        self._create = create

    def create(self, ctx):
        return self._create(ctx)


class Scaled:
    """Rebuilds a node made with restore_ref "scaled": emits its dep's value times config["factor"]."""

    ref = "scaled"

    def __init__(self):
        self.contexts = []

    def create(self, ctx):
        self.contexts.append(ctx)
        factor = ctx.config["factor"]
        ctx.register_node(lambda c: c.emit(c.data_entry(0)[1] * factor), factory="scaled")


def scaled_callback(factor):
    return lambda c: c.emit(c.data_entry(0)[1] * factor)
