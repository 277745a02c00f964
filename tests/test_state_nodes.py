"""Graph.state and Graph.state_empty."""

import pytest

from korvalinth import Graph, Node


def test_state_holds_its_initial_value():
    graph = Graph()
    value = object()
    node = graph.state(value)
    assert type(node) is Node
    assert node.cache() is value and node.status() == "settled"
    none = graph.state(None, name="none")
    assert none.cache_entry() == (True, None) and none.status() == "settled"
    by_keyword = graph.state(value=3, name=None)
    assert by_keyword.cache() == 3


def test_state_empty_starts_without_a_value():
    graph = Graph()
    node = graph.state_empty()
    assert node.cache_entry() == (False, None)
    assert node.status() == "sentinel"
    named = graph.state_empty(name="n")
    named.set(5)
    assert named.cache() == 5


def test_a_taken_name_is_refused_and_the_first_node_kept():
    graph = Graph()
    first = graph.state(1, name="x")
    with pytest.raises(RuntimeError, match="^duplicate graph node id 'x'$"):
        graph.state(2, name="x")
    with pytest.raises(RuntimeError, match="^duplicate graph node id 'x'$"):
        graph.state_empty(name="x")
    assert first.cache() == 1
    # The same name in another graph is free.
    assert Graph().state(3, name="x").cache() == 3


def test_argument_errors():
    graph = Graph()
    with pytest.raises(TypeError) as info:
        graph.state(1, name=5)
    assert str(info.value) == "'int' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'name'"]
    with pytest.raises(TypeError, match=r"^Graph.state\(\) missing 1 required positional argument: 'value'$"):
        graph.state()
    with pytest.raises(TypeError) as info:
        graph.state_empty(True)
    assert info.value.__notes__ == ["while processing 'name'"]
    assert Graph.state.__text_signature__ == "($self, value, name=None)"
    assert Graph.state_empty.__text_signature__ == "($self, name=None)"
    assert not Graph.state.__doc__


def test_nodes_outlive_their_graph_object():
    graph = Graph()
    node = graph.state([1])
    del graph
    node.set([2])
    assert node.cache() == [2]
