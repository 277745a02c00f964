"""Graph.checkpoint: the writer's record as plain Python data."""

import pytest

from korvalinth import Graph


def test_signature():
    assert Graph.checkpoint.__text_signature__ == "($self)"
    with pytest.raises(TypeError, match=r"checkpoint\(\) takes no arguments \(1 given\)"):
        Graph().checkpoint(1)


def test_an_empty_graph():
    assert Graph().checkpoint() == {"edges": [], "nodes": [], "version": "korvalinth.checkpoint.v1"}
    assert list(Graph("g").checkpoint()) == ["edges", "name", "nodes", "version"]


def test_values_that_are_not_strict_json_are_refused():
    graph = Graph()
    graph.state({1, 2}, name="s")
    with pytest.raises(ValueError) as info:
        graph.checkpoint()
    assert str(info.value) == (
        "checkpoint: value at s is not strict JSON compatible: "
        "ValueError: checkpoint value is not strict JSON compatible"
    )


def test_a_node_that_is_not_quiescent_is_refused():
    graph = Graph()
    s = graph.state(1, name="s")
    seen = []

    def inside():
        s.set(2)
        with pytest.raises(ValueError) as info:
            graph.checkpoint()
        seen.append(str(info.value))

    # Inside a batch the node has sent DIRTY and holds its DATA back.
    graph.batch(inside)
    assert seen == ["checkpoint: node 's' has non-quiescent status 'dirty' that cannot be checkpoint-restored yet"]
    assert graph.checkpoint()["nodes"][0]["value"] == {"data": 2, "kind": "DATA"}


def _shape(value):
    """The value with every dict as its list of (key, value) pairs: equal
    shapes have equal keys in the same order."""
    if isinstance(value, dict):
        return [(k, _shape(v)) for k, v in value.items()]
    if isinstance(value, list):
        return [_shape(v) for v in value]
    return (type(value), value)


def test_records_made_python_directly_match_their_json_form(kit_probe):
    from restore_support import checkpoint, cp_node

    nodes = [
        cp_node("a", value=({"z": [1, -2, 2.5, None, True], "A": {"é": "x"}},), meta={"m": "v", "b": [1]},
                activated=True, called=True, name="first"),
        cp_node("b", ref="py", deps=["a", "a"], config={"mode": "node"}, status="completed", terminal="COMPLETE"),
        cp_node("c", value=(None,), counter=3),
    ]
    nodes[1]["factory"]["configVersion"] = None
    nodes[1]["backendState"] = {"cursor": 2**64 - 1}
    nodes[2]["factory"] = {"kind": "local-only", "name": "derived", "reason": "no restore metadata"}
    nodes[2]["terminal"] = {"kind": "ERROR", "error": "boom"}
    nodes[2]["ctxState"] = {"persist": True, "value": {"kind": "DATA", "data": [{"k": 1}]}}
    del nodes[2]["version"]
    cases = [
        checkpoint([]),
        checkpoint(nodes, name="g", mounts=[("sub", checkpoint([cp_node("x", value=(1,))], mounts=[("deep", checkpoint([]))]))]),
        checkpoint(nodes[:1], name=None, mounts=[]),
    ]
    for case in cases:
        via_json, direct, node_pairs = kit_probe.checkpoint_forms(case)
        assert _shape(direct) == _shape(via_json)
        assert len(node_pairs) == len(case["nodes"])
        for node_via_json, node_direct in node_pairs:
            assert _shape(node_direct) == _shape(node_via_json)
