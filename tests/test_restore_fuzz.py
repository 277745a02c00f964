"""Mutated checkpoints: restore_graph refuses them with ValueError or
RuntimeError, or returns a working graph; it never crashes and never keeps
a pending fatal."""

import copy

from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from korvalinth import Graph, restore_graph, restore_registry
from restore_support import Entry, Scaled, checkpoint, cp_node, scaled_callback


def base_checkpoints():
    graph = Graph("base")
    count = graph.state(2, name="count")
    graph.state_empty(name="empty")
    doubled = graph.node([count], scaled_callback(2), name="doubled", restore_ref="scaled",
                         restore_config={"factor": 2})
    graph.node([doubled, count], lambda c: None, name="pair", restore_ref="py", restore_config={"mode": "node"})
    sub = doubled.subscribe(lambda kind, payload: None)
    count.set(3)
    written = graph.checkpoint()
    del sub
    handmade = checkpoint(
        [cp_node("a", value=({"k": [1, 2.5]},), meta={"m": "v"}, activated=True),
         cp_node("b", ref="py", deps=["a"], config={"mode": "node"}),
         cp_node("c", ref="py", config={"mode": "state"}),
         cp_node("d", value=(None,), status="completed", terminal="COMPLETE")],
        name="handmade",
        mounts=[("sub", checkpoint([cp_node("x", value=(1,))], mounts=[("deeper", checkpoint([]))]))],
    )
    return [written, handmade]


BASES = base_checkpoints()

WORDS = ["korvalinth.checkpoint.v1", "state", "map", "py", "scaled", "settled", "sentinel", "completed",
         "errored", "pending", "DATA", "SENTINEL", "none", "COMPLETE", "ERROR", "registry-ref", "local-only",
         "count", "doubled", "a", "b", "sub", "", "sub::x", "\ud800", "mode", "factor", "fn"]

json_scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**65), max_value=2**65),
    st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(WORDS), st.text(max_size=5),
)
foreign = st.one_of(st.tuples(st.integers()), st.builds(set), st.builds(object), st.binary(max_size=3))
values = st.recursive(
    st.one_of(json_scalars, foreign),
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(st.sampled_from(WORDS + ["id", "deps", "kind", "data"]), inner,
                                            max_size=3)),
    max_leaves=8,
)


def children(container):
    if isinstance(container, dict):
        return list(container)
    if isinstance(container, list):
        return list(range(len(container)))
    return []


def mutate(data, root):
    """One mutation at a place chosen by walking down from the root."""
    parent, key = None, None
    node = root
    while children(node) and data.draw(st.integers(0, 4), label="descend") > 0:
        parent, key = node, data.draw(st.sampled_from(children(node)), label="key")
        node = node[key]
    if parent is None:
        return root
    # Words of the format reach the restore phases more often than random values.
    op = data.draw(st.sampled_from(["word"] * 4 + ["replace", "delete", "duplicate", "array_form", "deepen"]),
                   label="op")
    if op == "replace":
        parent[key] = data.draw(values, label="value")
    elif op == "delete":
        del parent[key]
    elif op == "word":
        parent[key] = data.draw(st.sampled_from(WORDS), label="word")
    elif op == "duplicate" and isinstance(parent, list):
        parent.insert(key, copy.deepcopy(node))
    elif op == "array_form" and isinstance(node, dict):
        parent[key] = [node[k] for k in data.draw(st.permutations(list(node)), label="order")]
    elif op == "deepen":
        for _ in range(data.draw(st.integers(1, 140), label="depth")):
            node = [node]
        parent[key] = node
    return root


class Modes:
    """A descriptor whose behaviour the checkpoint's config chooses."""

    ref = "py"

    def create(self, ctx):
        mode = ctx.config["mode"] if isinstance(ctx.config, dict) else ctx.config
        if mode == "state":
            ctx.register_state()
        elif mode == "node":
            ctx.register_node(lambda c: c.emit(c.data_entry(0)[1]))
        elif mode == "twice":
            ctx.register_state()
            ctx.register_state()
        elif mode == "raise":
            raise ValueError("asked to")


REGISTRY = restore_registry([Modes(), Scaled(), Entry("none", lambda ctx: None)])


@settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_mutated_checkpoints_are_refused_or_restored(data):
    root = copy.deepcopy(data.draw(st.sampled_from(BASES), label="base"))
    for _ in range(data.draw(st.integers(1, 4), label="mutations")):
        root = mutate(data, root)
    try:
        graph = restore_graph(root, REGISTRY)
    except (ValueError, RuntimeError) as e:
        event(f"refused with {type(e).__name__}")
    else:
        event("restored")
        assert type(graph) is Graph
        graph.describe()
        try:
            again = graph.checkpoint()
        except ValueError:
            pass
        else:
            assert type(again) is dict
    # Nothing was left in the registry's slot.
    assert restore_graph(checkpoint([]), REGISTRY).raise_pending_fatal() is None


def _same_outcome(a, b):
    if a[0] == "raised" and b[0] == "raised":
        return type(a[1]) is type(b[1]) and a[1].args == b[1].args
    return a == b


@settings(max_examples=400, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_reading_in_place_matches_reading_through_the_json_tree(data, kit_probe):
    """The records, the refusal text or the raised exception are the same
    either way, whatever the mutation (key order, array forms, foreign
    values, depth, surrogates)."""
    root = copy.deepcopy(data.draw(st.sampled_from(BASES), label="base"))
    for _ in range(data.draw(st.integers(1, 4), label="mutations")):
        root = mutate(data, root)
    via_json, in_place = kit_probe.checkpoint_reads(root)
    event(via_json[0])
    assert _same_outcome(via_json, in_place), (via_json, in_place)


def test_the_unmutated_bases_restore():
    for base in BASES:
        assert type(restore_graph(copy.deepcopy(base), REGISTRY)) is Graph
