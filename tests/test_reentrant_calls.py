"""Calls back into the graph from subscribers and node callbacks while a wave
runs: sinks see a node's messages in the order the node emitted them, and a
call refused as a feedback cycle raises where it was made and leaves the
graph as it was."""

import pytest

from korvalinth import Graph

FEEDBACK_CYCLE = "synchronous feedback cycle: node fn re-entered its own wave (R-reentrancy / D37)"


def recorder():
    seen = []
    return seen, lambda kind, payload: seen.append((kind, payload))


# The correction is made as the set's DIRTY or its DATA reaches the
# subscriber: either way it waits behind the set's own delivery.
@pytest.mark.parametrize("trigger", [("DATA", 1), ("DIRTY", None)], ids=["on-data", "on-dirty"])
@pytest.mark.parametrize("corrector_first", [True, False], ids=["corrector-first", "dependent-first"])
def test_a_subscriber_that_corrects_the_value_it_watches_is_not_overtaken(corrector_first, trigger):
    g = Graph()
    s = g.state(0, name="s")
    d = g.derived([s], lambda x: x * 10, name="d")
    watched, watch = recorder()

    def correct(kind, payload):
        watch(kind, payload)
        if (kind, payload) == trigger and watched.count(trigger) == 1:
            s.set(2)

    subs = []
    if corrector_first:
        subs.append(s.subscribe(correct))
    d_seen, d_sink = recorder()
    subs.append(d.subscribe(d_sink))
    if not corrector_first:
        subs.append(s.subscribe(correct))
    s.set(1)
    assert (s.cache(), d.cache(), d.status()) == (2, 20, "settled")
    assert watched[-3:] == [("DIRTY", None), ("DATA", 1), ("DATA", 2)]
    assert d_seen[-2:] == [("DIRTY", None), ("DATA", 20)]


def quiescent_values(graph):
    """Every node's status and value in a checkpoint, which refuses a graph
    left dirty or pending."""
    return {n["id"]: (n["status"], n["value"]) for n in graph.checkpoint()["nodes"]}


def test_a_callback_that_feeds_its_own_node_is_refused_and_changes_nothing():
    g = Graph()
    s = g.state(1, name="s")
    d = g.derived([s], lambda x: x + 8, name="d")
    refusals = []

    def feed_back(ctx):
        if not refusals:
            try:
                s.set(3)
            except RuntimeError as e:
                refusals.append(str(e))
        ctx.emit(ctx.data_entry(0)[1] + ctx.data_entry(1)[1])

    n = g.node([s, d], feed_back, name="n")
    sub = n.subscribe(lambda k, p: None)
    assert refusals == [FEEDBACK_CYCLE]
    assert quiescent_values(g) == {
        "s": ("settled", {"kind": "DATA", "data": 1}),
        "d": ("settled", {"kind": "DATA", "data": 9}),
        "n": ("settled", {"kind": "DATA", "data": 10}),
    }
    s.set(4)
    assert (d.cache(), n.cache()) == (12, 16)
    sub.unsubscribe()


def test_a_subscriber_that_sets_an_upstream_state_while_the_node_runs_is_refused():
    # The sink runs inside n2's function (n2 emits from it): the set would
    # re-run n2 there, so set() raises and the graph stays as it was.
    g = Graph()
    s0 = g.state(0, name="s0")
    n2 = g.derived([s0], lambda x: x, name="n2")
    seen, refusals = [], []

    def feed_upstream(kind, payload):
        seen.append((kind, payload))
        if kind == "DATA" and payload == 1:
            try:
                s0.set(5)
            except RuntimeError as e:
                refusals.append(str(e))

    sub = n2.subscribe(feed_upstream)
    s0.set(1)
    assert refusals == [FEEDBACK_CYCLE]
    assert seen == [("START", None), ("DATA", 0), ("DIRTY", None), ("DATA", 1)]
    assert quiescent_values(g) == {
        "s0": ("settled", {"kind": "DATA", "data": 1}),
        "n2": ("settled", {"kind": "DATA", "data": 1}),
    }
    s0.set(5)  # outside the wave the same set goes through
    assert seen[-2:] == [("DIRTY", None), ("DATA", 5)]
    sub.unsubscribe()


def test_a_callback_may_set_a_state_that_does_not_feed_a_running_node():
    g = Graph()
    s = g.state(1, name="s")
    other = g.state(0, name="other")
    twice = g.derived([other], lambda x: x * 2, name="twice")
    n = g.derived([s], lambda x: (other.set(x + 1), x)[1], name="n")
    subs = [n.subscribe(lambda k, p: None), twice.subscribe(lambda k, p: None)]
    s.set(5)
    assert (n.cache(), other.cache(), twice.cache()) == (5, 6, 12)
    for sub in subs:
        sub.unsubscribe()
