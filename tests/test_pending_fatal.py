"""The pending fatal of a graph as the Python surface sees it: stored by a
callback of the graph while another graph's operation ran, it stays in the
graph's slot and is raised by the next operation on any object of the
graph, before that operation does anything, and only once."""

import gc

import pytest

from korvalinth import Graph


class Fatal(BaseException):
    pass


def store_fatal(graph, node):
    """Stores a Fatal in graph's slot: node's subscriber raises it while a
    batch of another graph (whose slot stays empty) sets node."""
    stored = Fatal("stored")

    def subscriber(kind, payload):
        if kind == "DATA" and payload == "trigger":
            raise stored

    sub = node.subscribe(subscriber)
    with pytest.raises(RuntimeError, match="^host boundary abort without pending fatal$"):
        Graph().batch(lambda: node.set("trigger"))
    return stored, sub


def graph_with_nodes():
    graph = Graph()
    s = graph.state(1, name="s")
    d = graph.derived([s], lambda v: v, name="d")
    return graph, s, d


OPERATIONS = {
    "state": lambda g, s, d: g.state(1, name="x"),
    "state_empty": lambda g, s, d: g.state_empty(name="x"),
    "node": lambda g, s, d: g.node([s], lambda ctx: None, name="x", pausable="bogus"),
    "derived": lambda g, s, d: g.derived([s], lambda v: v, name="x"),
    "effect": lambda g, s, d: g.effect([s], lambda v: v, name="x"),
    "producer": lambda g, s, d: g.producer(lambda: 1, name="x"),
    "_async_node": lambda g, s, d: g._async_node([s], lambda ctx, v: None, name="x"),
    "_async_source": lambda g, s, d: g._async_source(lambda ctx: None, name="x"),
    "_conformance_async_node": lambda g, s, d: g._conformance_async_node([s], name="x"),
    "_conformance_async_source": lambda g, s, d: g._conformance_async_source(name="x"),
    "batch": lambda g, s, d: g.batch(lambda: pytest.fail("the callable ran")),
    "describe": lambda g, s, d: g.describe(),
    "_find": lambda g, s, d: g._find("s"),
    "_set_state_by_id": lambda g, s, d: g._set_state_by_id("d", 5),
    "checkpoint": lambda g, s, d: g.checkpoint(),
    "observe": lambda g, s, d: g.observe(lambda *a: pytest.fail("observed")),
    "raise_pending_fatal": lambda g, s, d: g.raise_pending_fatal(),
    "_wire_bridge": lambda g, s, d: g._wire_bridge("x"),
    "Node.set": lambda g, s, d: s.set(2),
    "Node.pause": lambda g, s, d: s.pause("l"),
    "Node.invalidate": lambda g, s, d: s.invalidate(),
    "Node.status": lambda g, s, d: s.status(),
    "Node.cache_entry": lambda g, s, d: s.cache_entry(),
    "Node.subscribe": lambda g, s, d: d.subscribe(lambda k, p: pytest.fail("subscribed")),
    "_conformance_node": lambda g, s, d: g._conformance_node([s], lambda ctx: None, name="x"),
    "Node._down_complete": lambda g, s, d: s._down_complete(),
    "Node._down_error": lambda g, s, d: s._down_error("x"),
    "Node._up_dirty": lambda g, s, d: d._up_dirty(),
    "Node._conformance_up_pull_toward": lambda g, s, d: d._conformance_up_pull_toward(0, "p"),
    "Node._conformance_c12_down_data_resolved": lambda g, s, d: s._conformance_c12_down_data_resolved(1),
    "Node._conformance_immediate_unsubscribe_dep": lambda g, s, d: d._conformance_immediate_unsubscribe_dep(
        s, lambda ctx: None),
    "Node._conformance_immediate_replace_deps": lambda g, s, d: d._conformance_immediate_replace_deps(
        [], lambda ctx: None),
}


@pytest.mark.parametrize("name", sorted(OPERATIONS) + ["lookup handle set"])
def test_the_next_operation_raises_the_stored_fatal_first_and_once(name):
    graph, s, d = graph_with_nodes()
    handle = graph._find("s")
    stored, sub = store_fatal(graph, s)
    if name == "lookup handle set":
        operation = lambda: handle.set(2)  # noqa: E731 - before the lookup-handle refusal
    else:
        operation = lambda: OPERATIONS[name](graph, s, d)  # noqa: E731
    with pytest.raises(Fatal) as info:
        operation()
    assert info.value is stored
    # Nothing of the operation happened, and the slot is empty again.
    assert graph.raise_pending_fatal() is None
    assert [n["id"] for n in graph.describe()["nodes"]] == ["s", "d"]
    assert graph.describe()["edges"] == [{"from": "s", "to": "d"}]
    assert s.cache_entry() == (True, "trigger") and s.status() == "settled"
    del sub


def test_argument_errors_come_before_the_stored_fatal():
    graph, s, d = graph_with_nodes()
    stored, sub = store_fatal(graph, s)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        graph.state(1, name=5)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'Node'"):
        graph.derived([1], lambda v: v)
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'"):
        s.pause(5)
    with pytest.raises(Fatal):
        graph.state(1, name="x")
    del sub


def test_graphs_keep_their_own_slots():
    first, s, d = graph_with_nodes()
    second = Graph()
    stored, sub = store_fatal(first, s)
    assert second.raise_pending_fatal() is None
    second.state(1)
    with pytest.raises(Fatal):
        first.raise_pending_fatal()
    del sub


def test_the_slot_outlives_the_graph_object_with_its_nodes_and_node_functions():
    graph, s, d = graph_with_nodes()
    stored = Fatal("from a node function")

    def raise_on_trigger(value):
        if value == "trigger":
            raise stored
        return value

    sub = graph.derived([s], raise_on_trigger).subscribe(lambda kind, payload: None)
    del graph
    gc.collect()
    with pytest.raises(RuntimeError, match="^host boundary abort without pending fatal$"):
        Graph().batch(lambda: s.set("trigger"))
    with pytest.raises(Fatal) as info:
        d.status()
    assert info.value is stored
    assert s.status() == "settled"
    del sub


def test_the_stored_fatal_comes_before_the_deps_thread_check(unraisable):
    from conftest import run_in_thread

    graph, s, d = graph_with_nodes()
    foreign = run_in_thread(lambda: Graph().state(1))["value"]
    stored, sub = store_fatal(graph, s)
    with pytest.raises(Fatal):
        graph.derived([s, foreign], lambda *v: v)
    with pytest.raises(BaseException, match="^_native::PyNode is unsendable, but sent to another thread$"):
        graph.derived([s, foreign], lambda *v: v)
    del sub, foreign
    assert "is unsendable, but is being dropped on another thread" in str(unraisable[0].exc_value)
