"""Graph.batch, Graph._find and its graph lookup handles, and
Graph._set_state_by_id."""

import gc

import pytest

from korvalinth._native import Graph, Node


class Fatal(BaseException):
    pass


def watched(node):
    seen = []
    return seen, node.subscribe(lambda kind, payload: seen.append((kind, payload)))


# ---- batch ----


def test_batch_returns_none_and_delivers_when_the_callable_returns():
    graph = Graph()
    a = graph.state(1)
    seen, sub = watched(a)
    during = []

    def body():
        a.set(2)
        during.append(list(seen))
        return 42

    assert graph.batch(body) is None
    # DIRTY at once, the DATA when the batch closes.
    assert during == [[("START", None), ("DATA", 1), ("DIRTY", None)]]
    assert seen[-1] == ("DATA", 2)


def test_the_last_value_of_a_node_wins():
    graph = Graph()
    a = graph.state(0)
    seen, sub = watched(a)
    graph.batch(lambda: (a.set(1), a.set(2)))
    assert seen == [("START", None), ("DATA", 0), ("DIRTY", None), ("DATA", 2)]


def test_a_diamond_under_a_batch_runs_its_bottom_once():
    graph = Graph()
    a = graph.state(1)
    b = graph.state(10)
    left = graph.derived([a, b], lambda x, y: x + y)
    right = graph.derived([a], lambda x: x * 2)
    runs = []
    bottom = graph.derived([left, right], lambda x, y: runs.append((x, y)))
    seen, sub = watched(bottom)

    def body():
        a.set(2)
        b.set(20)
        a.set(3)

    graph.batch(body)
    assert runs == [(11, 2), (23, 6)]


def test_a_failed_batch_resolves_what_sent_dirty_and_reraises_unchanged():
    graph = Graph()
    a = graph.state(1)
    child = graph.derived([a], lambda x: x + 1)
    seen_a, sub_a = watched(a)
    seen_c, sub_c = watched(child)
    error = ValueError("boom")

    def body():
        a.set(5)
        raise error

    with pytest.raises(ValueError) as info:
        graph.batch(body)
    assert info.value is error
    assert seen_a[-2:] == [("DIRTY", None), ("RESOLVED", None)]
    assert ("DATA", 5) not in seen_a and ("DATA", 6) not in seen_c
    assert seen_c[2] == ("DIRTY", None)
    assert a.cache() == 1 and child.cache() == 2 and child.status() != "dirty"
    # Whatever its class.
    fatal = Fatal()
    with pytest.raises(Fatal) as info:
        graph.batch(lambda: (_ for _ in ()).throw(fatal))
    assert info.value is fatal


def test_nested_batches_join_the_outermost():
    graph = Graph()
    a = graph.state(0)
    seen, sub = watched(a)
    after_inner = []

    def outer():
        graph.batch(lambda: a.set(1))
        after_inner.append(a.cache())

    graph.batch(outer)
    assert after_inner == [0] and seen[-1] == ("DATA", 1)

    def outer_catching():
        a.set(2)
        try:
            graph.batch(lambda: 1 / 0)
        except ZeroDivisionError:
            pass

    assert graph.batch(outer_catching) is None
    # The inner failure failed the outer batch.
    assert a.cache() == 1 and seen[-1] == ("RESOLVED", None)


# A set made while the batch closes, on a node whose DATA the batch has not
# delivered yet, waits behind that DATA, as a set made while its node
# delivers waits behind that delivery: the later value is kept.
@pytest.mark.parametrize("from_callback", [False, True], ids=["from-subscriber", "from-node-callback"])
def test_a_set_made_while_the_batch_closes_is_not_overwritten(from_callback):
    graph = Graph()
    t = graph.state(0, name="t")
    s = graph.state(0, name="s")
    d = graph.derived([s], lambda x: x * 10, name="d")
    seen, sub = watched(s)
    seen_d, sub_d = watched(d)

    def on_t(value):
        if value == 1:
            s.set(20)

    if from_callback:
        sub_t = graph.effect([t], on_t).subscribe(lambda kind, payload: None)
    else:
        sub_t = t.subscribe(lambda kind, payload: kind == "DATA" and on_t(payload))
    graph.batch(lambda: (t.set(1), s.set(10)))
    assert seen == [("START", None), ("DATA", 0), ("DIRTY", None), ("DATA", 10), ("DATA", 20)]
    assert seen_d[2:] == [("DIRTY", None), ("DATA", 200)]
    assert {n["id"]: (n["status"], n["value"]) for n in graph.checkpoint()["nodes"] if n["id"] in ("s", "d")} == {
        "s": ("settled", {"kind": "DATA", "data": 20}),
        "d": ("settled", {"kind": "DATA", "data": 200}),
    }


def test_a_fatal_stored_while_the_batch_closes_is_raised():
    graph = Graph()
    a = graph.state(0)
    fatal = Fatal()

    def effect(value):
        if value == 1:
            raise fatal

    seen, sub = watched(graph.effect([a], effect))
    with pytest.raises(Fatal) as info:
        graph.batch(lambda: a.set(1))
    assert info.value is fatal
    assert graph.raise_pending_fatal() is None


# ---- _find and graph lookup handles ----


def test_find_returns_a_lookup_handle_or_none():
    graph = Graph()
    a = graph.state([1], name="a")
    found = graph._find("a")
    assert type(found) is Node
    assert found.cache() is a.cache() and found.cache_entry() == (True, [1])
    assert found.status() == "settled"
    assert graph._find("b") is None and graph._find("A") is None
    with pytest.raises(TypeError) as info:
        graph._find(1)
    assert info.value.__notes__ == ["while processing 'id'"]
    assert Graph._find.__text_signature__ == "($self, id)"


def test_lookup_handles_refuse_the_mutating_operations():
    graph = Graph()
    a = graph.state(1, name="a")
    found = graph._find("a")
    for call, op in (
        (lambda: found.set(2), "set()"),
        (lambda: found.send(2), "send()"),
        (lambda: found.pause("l"), "pause()"),
        (lambda: found.resume("l"), "resume()"),
        (lambda: found.invalidate(), "invalidate()"),
    ):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == op + " is not available on graph lookup handles"
    assert a.cache() == 1 and a.status() == "settled"


def test_a_lookup_handle_stands_for_the_found_node():
    graph = Graph()
    a = graph.state(1, name="a")
    found = graph._find("a")
    doubled = graph.derived([found], lambda x: x * 2)
    seen, sub = watched(doubled)
    a.set(4)
    assert doubled.cache() == 8
    watched_found, sub_found = watched(found)
    a.set(5)
    assert watched_found[-1] == ("DATA", 5)


def test_a_lookup_handle_keeps_the_found_node_alive():
    graph = Graph()
    graph.state(1, name="a")
    found = graph._find("a")
    del graph
    gc.collect()
    assert found.cache() == 1


# ---- _set_state_by_id ----


def test_set_state_by_id_sets_a_state_node_and_runs_its_dependents():
    graph = Graph()
    a = graph.state(1, name="a")
    child = graph.derived([a], lambda x: x + 1, name="child")
    seen, sub = watched(child)
    value = object()
    assert graph._set_state_by_id("a", 5) is None
    assert child.cache() == 6
    graph._set_state_by_id(id="a", value=value)
    assert a.cache() is value and seen[-1][0] == "ERROR"
    empty = graph.state_empty(name="e")
    graph._set_state_by_id("e", None)
    assert empty.cache_entry() == (True, None)


def test_set_state_by_id_refusals():
    graph = Graph()
    a = graph.state(1, name="a")
    graph.derived([a], lambda x: x, name="d")
    with pytest.raises(RuntimeError, match="^conformance node 'zz' was not found$"):
        graph._set_state_by_id("zz", 1)
    with pytest.raises(RuntimeError, match="^conformance state setter requires a graph state node$"):
        graph._set_state_by_id("d", 1)
    assert graph._find("d").cache_entry() == (False, None)
    with pytest.raises(TypeError) as info:
        graph._set_state_by_id(None, 1)
    assert info.value.__notes__ == ["while processing 'id'"]


def test_set_state_by_id_raises_a_fatal_of_the_wave():
    graph = Graph()
    a = graph.state(1, name="a")
    fatal = Fatal()

    def effect(value):
        if value == 2:
            raise fatal

    seen, sub = watched(graph.effect([a], effect))
    with pytest.raises(Fatal) as info:
        graph._set_state_by_id("a", 2)
    assert info.value is fatal
