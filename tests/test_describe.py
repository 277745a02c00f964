"""Graph.describe: nodes, edges and subgraphs as nested dicts."""

import inspect

import pytest

from korvalinth import Graph


def node(id, factory="state", status="settled", value="<opaque>", has_value=True, deps=(), name=None, metadata=None):
    return {
        "id": id,
        "name": name,
        "factory": factory,
        "status": status,
        "has_value": has_value,
        "value": value if has_value else None,
        "deps": list(deps),
        "metadata": metadata,
    }


def test_signature_and_doc():
    assert Graph.describe.__text_signature__ == "($self)"
    assert Graph.describe.__doc__ is None
    with pytest.raises(TypeError, match=r"describe\(\) takes no arguments \(1 given\)"):
        Graph().describe(1)


def test_an_empty_unnamed_graph():
    out = Graph().describe()
    assert out == {"name": None, "nodes": [], "edges": [], "subgraphs": None}
    assert list(out) == ["name", "nodes", "edges", "subgraphs"]


def test_state_nodes_in_registration_order():
    graph = Graph("g")
    graph.state(5, name="five")
    graph.state_empty()
    graph.state(None)
    graph.state_empty(name="later").set("text")
    out = graph.describe()
    assert out == {
        "name": "g",
        "nodes": [
            node("five", name="five"),
            node("state#0", status="sentinel", has_value=False),
            # A held None is a value.
            node("state#1"),
            node("later", name="later"),
        ],
        "edges": [],
        "subgraphs": None,
    }
    assert [list(n) for n in out["nodes"]] == [
        ["id", "name", "factory", "status", "has_value", "value", "deps", "metadata"]
    ] * 4


def test_the_output_is_a_fresh_tree_on_each_call():
    graph = Graph()
    graph.state([1, 2], name="list")
    first = graph.describe()
    first["nodes"][0]["deps"].append("x")
    first["nodes"].clear()
    second = graph.describe()
    assert second["nodes"] == [node("list", name="list")]
    assert second is not first and second["nodes"] is not first["nodes"]


def test_status_follows_the_node():
    graph = Graph()
    n = graph.state_empty(name="n")
    assert graph.describe()["nodes"][0]["status"] == "sentinel"
    n.set(1)
    assert graph.describe()["nodes"][0]["status"] == "settled"


def test_rendering_of_every_value_kind(kit_probe):
    # Values of the runtime's own primitive types only come from native code.
    out = kit_probe.describe_sample()
    assert out == {
        "name": None,
        "nodes": [
            node("t", value=True),
            node("f", value=False),
            node("i", value=-(2**63)),
            node("u", value=2**64 - 1),
            node("x", value=1.5),
            node("s", value="snowman \u2603"),
            node("o", value="<opaque>"),
            node("none", has_value=False, status="sentinel"),
            node("meta", name="m", factory="derived", deps=["t", "f"], metadata={"a": "1", "b": "2"}),
        ],
        "edges": [{"from": "t", "to": "meta"}, {"from": "f", "to": "meta"}],
        "subgraphs": [{"name": "sub", "nodes": [], "edges": [], "subgraphs": None}],
    }
    metadata = out["nodes"][-1]["metadata"]
    assert list(metadata) == ["a", "b"]
    assert list(out["edges"][0]) == ["from", "to"]


def test_describe_runs_on_the_creating_thread_only():
    from conftest import run_in_thread

    graph = Graph()
    outcome = run_in_thread(graph.describe)
    assert "_native::PyGraph is unsendable, but sent to another thread" in str(outcome["raised"])


def test_signature_as_inspect_sees_it():
    assert str(inspect.signature(Graph().describe)) == "()"


def test_computed_nodes_list_their_deps_and_one_edge_per_dep():
    graph = Graph("g")
    a = graph.state(1, name="a")
    b = graph.state_empty(name="b")
    both = graph.derived([a, b], lambda x, y: x, name="both")
    twice = graph.derived([a, a], lambda x, y: x)
    graph.effect([both], lambda v: None, name="fx")
    out = graph.describe()
    assert [n["id"] for n in out["nodes"]] == ["a", "b", "both", "derived#0", "fx"]
    by_id = {n["id"]: n for n in out["nodes"]}
    assert by_id["both"] == node("both", name="both", factory="derived", status="sentinel", has_value=False,
                                 deps=["a", "b"])
    assert by_id["derived#0"]["deps"] == ["a", "a"] and by_id["derived#0"]["factory"] == "derived"
    assert by_id["fx"]["factory"] == "effect"
    assert out["edges"] == [
        {"from": "a", "to": "both"},
        {"from": "b", "to": "both"},
        {"from": "a", "to": "derived#0"},
        {"from": "a", "to": "derived#0"},
        {"from": "both", "to": "fx"},
    ]
    del twice


def test_a_stored_pending_fatal_is_raised_once_before_the_walk():
    # The subscriber of b's node runs when a's batch closes, under a's
    # guard; the fatal it stores stays in b's slot until b is used.
    a, b = Graph(), Graph()
    s = b.state_empty(name="s")
    stored = KeyboardInterrupt("stop")

    def subscriber(kind, payload):
        if kind == "DATA":
            raise stored

    sub = s.subscribe(subscriber)
    with pytest.raises(RuntimeError, match="^host boundary abort without pending fatal$"):
        a.batch(lambda: s.set(1))
    with pytest.raises(KeyboardInterrupt) as info:
        b.describe()
    assert info.value is stored
    assert b.describe()["nodes"][0]["id"] == "s"
    del sub


def test_a_long_chain_is_described_and_set_by_id_in_linear_time():
    import time

    # CPU time of this process: a loaded machine stretches wall time, not the work done.
    graph = Graph()
    last = graph.state(0, name="head")
    for _ in range(99_999):
        last = graph.derived([last], lambda x: x)
    started = time.process_time()
    out = graph.describe()
    described = time.process_time() - started
    started = time.process_time()
    graph._set_state_by_id("head", 1)
    set_by_id = time.process_time() - started
    assert len(out["nodes"]) == len(out["edges"]) + 1 == 100_000
    assert out["nodes"][-1]["deps"] == ["derived#99997"] and out["edges"][0] == {"from": "head", "to": "derived#0"}
    assert (described < 1.0, set_by_id < 1.0) == (True, True), (described, set_by_id)
