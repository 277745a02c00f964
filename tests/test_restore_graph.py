"""restore_graph: graphs rebuilt from checkpoints, round trips and refusals."""

import gc
import weakref

import pytest

from korvalinth import Graph, restore_graph, restore_registry
from restore_support import Entry, Scaled, by_id, checkpoint, cp_node, scaled_callback


def shape(description):
    """Ids, deps and edges of a description, its subgraphs included."""
    return (
        [(n["id"], n["deps"]) for n in description["nodes"]],
        description["edges"],
        [shape(s) for s in description["subgraphs"] or []],
    )


# ---- round trips ----


def test_state_nodes_round_trip():
    graph = Graph("states")
    graph.state(1, name="a")
    graph.state_empty(name="b")
    graph.state({"x": [1, 2.5, None, True, "s"], "y": {}}, name="c")
    graph.state(-(2**53) + 1, name="d")
    first = graph.checkpoint()
    restored = restore_graph(first, restore_registry([]))
    assert type(restored) is Graph
    assert restored.checkpoint() == first
    assert shape(restored.describe()) == shape(graph.describe())
    assert restored.describe()["name"] == "states"
    # Values come back as new objects built from JSON on each read.
    c = restored._find("c")
    assert c.cache() == {"x": [1, 2.5, None, True, "s"], "y": {}}
    assert c.cache() is not c.cache()
    assert type(restored._find("d").cache()) is int and type(c.cache()["x"][1]) is float
    assert restored._find("b").cache_entry() == (False, None)
    # The checkpoint argument is left as it was.
    assert first == graph.checkpoint()


def test_computed_nodes_round_trip_through_a_python_descriptor():
    graph = Graph("calc")
    count = graph.state(2, name="count")
    doubled = graph.node([count], scaled_callback(2), name="doubled", restore_ref="scaled",
                         restore_config={"factor": 2})
    tripled = graph.node([doubled], scaled_callback(3), name="tripled", restore_ref="scaled",
                         restore_config={"factor": 3}, restore_config_version=1)
    sub = tripled.subscribe(lambda kind, payload: None)
    count.set(5)
    assert tripled.cache() == 30
    first = graph.checkpoint()

    scaled = Scaled()
    restored = restore_graph(first, restore_registry([scaled]))
    assert [ctx.id for ctx in scaled.contexts] == ["doubled", "tripled"]
    assert [ctx.config_version for ctx in scaled.contexts] == [None, 1]
    assert restored.checkpoint() == first
    assert {n["id"]: n["factory"] for n in restored.describe()["nodes"]} == {
        "count": "state",
        "doubled": "scaled",
        "tripled": "scaled",
    }

    # The restored graph runs: the Python callbacks registered by the
    # descriptor compute from the new value.
    seen = []
    restored_sub = restored._find("tripled").subscribe(lambda kind, payload: seen.append((kind, payload)))
    restored._set_state_by_id("count", 7)
    assert restored._find("tripled").cache() == 42
    assert ("DATA", 42) in seen
    # The original graph is untouched by the restored one.
    assert tripled.cache() == 30
    del sub, restored_sub


def test_nodes_come_back_in_dependency_then_id_order():
    graph = Graph()
    z = graph.state(1, name="z")
    graph.node([z], scaled_callback(2), name="a", restore_ref="scaled", restore_config={"factor": 2})
    first = graph.checkpoint()
    restored = restore_graph(first, restore_registry([Scaled()]))
    second = restored.checkpoint()
    # Registration order differs ("z" is created as "a"'s dep first); the
    # records are the same.
    assert [n["id"] for n in first["nodes"]] == ["z", "a"]
    assert by_id(second) == by_id(first)


def test_ctx_state_round_trips():
    def remember(ctx):
        had = ctx.state_entry()
        ctx.set_state({"last": ctx.data_entry(0)[1], "had": had[1]})
        ctx.state_persist()
        ctx.emit(ctx.data_entry(0)[1])

    graph = Graph()
    source = graph.state(1, name="a")
    node = graph.node([source], remember, name="b", restore_ref="remember")
    sub = node.subscribe(lambda kind, payload: None)
    source.set(2)
    first = graph.checkpoint()
    assert first["nodes"][1]["ctxState"] == {
        "persist": True,
        "value": {"data": {"had": {"had": None, "last": 1}, "last": 2}, "kind": "DATA"},
    }
    restored = restore_graph(first, restore_registry([Entry("remember", lambda ctx: ctx.register_node(remember))]))
    assert restored.checkpoint() == first
    restored._set_state_by_id("a", 3)
    # The callback saw the restored state, as a dict built from JSON.
    assert restored.checkpoint()["nodes"][1]["ctxState"]["value"]["data"] == {
        "had": {"had": {"had": None, "last": 1}, "last": 2},
        "last": 3,
    }
    del sub


def test_mounted_children_restore_under_their_paths():
    leaf = checkpoint([cp_node("x", value=("leaf",))], name="leaf")
    child = checkpoint(
        [cp_node("s", value=(1,)), cp_node("t", ref="py", deps=["s"], value=(2,))],
        name="child",
        mounts=[("inner", leaf)],
    )
    root = checkpoint([cp_node("r", value=(0,), meta={"k": "v"})], name="root", mounts=[("sub", child)])
    reg = restore_registry([Entry("py", lambda ctx: ctx.register_node(lambda c: None))])
    restored = restore_graph(root, reg)
    description = restored.describe()
    assert description["name"] == "root"
    assert description["nodes"][0]["metadata"] == {"k": "v"}
    # Restored values are JSON values, which describe does not look into.
    assert (description["nodes"][0]["has_value"], description["nodes"][0]["value"]) == (True, "<opaque>")
    [sub] = description["subgraphs"]
    assert sub["name"] == "sub"
    assert [n["id"] for n in sub["nodes"]] == ["sub::s", "sub::t"]
    assert sub["edges"] == [{"from": "sub::s", "to": "sub::t"}]
    [inner] = sub["subgraphs"]
    assert inner["name"] == "sub::inner" and inner["nodes"][0]["id"] == "sub::inner::x"
    assert inner["subgraphs"] is None
    assert restored.checkpoint() == root


# ---- refusals ----


def test_registry_must_be_a_registry_and_is_checked_first():
    with pytest.raises(TypeError) as info:
        restore_graph(object(), {})
    assert str(info.value) == "'dict' object is not an instance of 'RestoreRegistry'"
    assert info.value.__notes__ == ["while processing 'registry'"]
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'registry'"):
        restore_graph({})


def test_checkpoints_that_are_not_strict_json_or_not_checkpoints_are_value_errors():
    reg = restore_registry([])
    good = checkpoint([cp_node("a", value=(1,))])
    cases = [
        ({"version": "korvalinth.checkpoint.v1", "edges": []}, "missing field `nodes`"),
        ({**good, "nodes": [{**good["nodes"][0], "deps": (1,)}]}, "checkpoint value is not strict JSON compatible"),
        ({**good, "extra": {1: 2}}, "checkpoint object keys must be strings"),
        ({**good, "nodes": None}, "invalid type: null, expected a sequence"),
        ("text", 'invalid type: string "text", expected struct GraphCheckpoint'),
        ({**good, "nodes": [{**good["nodes"][0], "value": {"kind": "data"}}]},
         "unknown variant `data`, expected `SENTINEL` or `DATA`"),
        ({**good, "edges": [{"from": "a", "to": float("nan")}]}, "checkpoint value must be finite strict JSON"),
    ]
    for value, text in cases:
        with pytest.raises(ValueError) as info:
            restore_graph(value, reg)
        assert str(info.value) == text


def test_refusals_of_the_restore_phases_are_runtime_errors():
    reg = restore_registry([])
    cases = [
        ({**checkpoint([]), "version": "korvalinth.checkpoint.v2"},
         "restore_graph: unsupported checkpoint version at checkpoint"),
        (checkpoint([cp_node("a"), cp_node("a")]), "restore_graph: duplicate node id 'a'"),
        (checkpoint([{**cp_node("a"), "factory": {"kind": "local-only", "name": "fn", "reason": "why"}}]),
         "restore_graph: node 'a' uses local-only factory 'fn' (why)"),
        (checkpoint([cp_node("a", status="pending")]),
         "restore_graph: node 'a' has non-quiescent status 'pending' that cannot be checkpoint-restored yet"),
        (checkpoint([cp_node("a", status="completed")]), "restore_graph: node 'a' terminal status requires terminal state"),
        (checkpoint([cp_node("a", ref="map", deps=["a"])]), "restore_graph: dependency cycle at 'a'"),
        (checkpoint([cp_node("a", value=(-0.0,))]), "checkpoint: strictJsonCodec: JSON number at a.value "),
        (checkpoint([], mounts=[("m", checkpoint([cp_node("m::x")]))]),
         "restore_graph: mounted checkpoint at 'm' must use child-local node id 'x', not 'm::x'"),
    ]
    for value, text in cases:
        with pytest.raises(RuntimeError) as info:
            restore_graph(value, reg)
        assert str(info.value).startswith(text), str(info.value)

    error_terminal = checkpoint([cp_node("a", status="errored", terminal="ERROR")])
    error_terminal["nodes"][0]["terminal"]["error"] = "boom"
    with pytest.raises(RuntimeError, match=r"^restore_graph: node 'a' "):
        restore_graph(error_terminal, reg)


def test_a_completed_node_restores_completed():
    restored = restore_graph(checkpoint([cp_node("a", value=(1,), status="completed", terminal="COMPLETE")]),
                             restore_registry([]))
    assert restored._find("a").status() == "completed"
    assert restored.checkpoint()["nodes"][0]["terminal"] == {"kind": "COMPLETE"}


def test_a_failed_restore_leaves_nothing_behind():
    callback = lambda c: None  # noqa: E731
    alive = weakref.ref(callback)
    reg = restore_registry([Entry("py", lambda ctx: ctx.register_node(callback))])
    # "a" is created through the Python descriptor, then "z"'s state refuses.
    cp = checkpoint([cp_node("s", value=(1,)), cp_node("a", ref="py", deps=["s"]),
                     cp_node("z", status="completed")])
    with pytest.raises(RuntimeError, match="terminal status requires terminal state"):
        restore_graph(cp, reg)
    del callback, reg
    gc.collect()
    assert alive() is None


# ---- callbacks that run while the restore activates nodes ----


def activating(callback_of_ctx):
    """A checkpoint whose node "n" runs when activation delivers its dep's value.

    Activation goes in id order: the dep "a" holds its restored value when
    "n" connects to it."""
    cp = checkpoint([cp_node("a", value=(4,), activated=True),
                     cp_node("n", ref="py", deps=["a"], activated=True)])
    return cp, restore_registry([Entry("py", lambda ctx: ctx.register_node(callback_of_ctx))])


def test_a_node_run_by_activation_emits_into_the_restored_graph():
    runs = []

    def callback(c):
        runs.append(c.data_entry(0)[1])
        c.emit(c.data_entry(0)[1] + 1)

    cp, reg = activating(callback)
    restored = restore_graph(cp, reg)
    assert runs == [4]
    assert restored._find("n").cache() == 5


def test_an_exception_of_an_activated_node_errors_the_node():
    def callback(c):
        raise ValueError("during restore")

    cp, reg = activating(callback)
    restored = restore_graph(cp, reg)
    assert restored._find("n").status() == "errored"


@pytest.mark.parametrize("fatal_type", [KeyboardInterrupt, SystemExit])
def test_a_fatal_of_an_activated_node_is_raised_and_nothing_is_kept(fatal_type):
    raised = []

    def callback(c):
        raised.append(fatal_type("stop"))
        raise raised[0]

    alive = weakref.ref(callback)
    cp, reg = activating(callback)
    with pytest.raises(fatal_type) as info:
        restore_graph(cp, reg)
    assert info.value is raised[0]
    # The slot was emptied.
    assert restore_graph(checkpoint([]), reg).raise_pending_fatal() is None
    # The graph that was being built is gone once the traceback, which
    # holds the callback's Ctx, is.
    del callback, reg, info, raised
    gc.collect()
    assert alive() is None


def test_restore_from_inside_a_callback():
    graph = Graph()
    source = graph.state(1)
    out = []
    cp = checkpoint([cp_node("s", value=(1,), activated=True)])
    effect = graph.effect([source], lambda v: out.append(restore_graph(cp, restore_registry([]))))
    sub = effect.subscribe(lambda kind, payload: None)
    source.set(2)
    assert len(out) == 2 and all(type(g) is Graph for g in out)
    assert out[-1]._find("s").cache() == 1
    del sub
