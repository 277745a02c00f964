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
