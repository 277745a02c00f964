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


@pytest.mark.parametrize("corrector_first", [True, False], ids=["corrector-first", "dependent-first"])
def test_a_subscriber_that_corrects_the_value_it_watches_is_not_overtaken(corrector_first):
    g = Graph()
    s = g.state(0, name="s")
    d = g.derived([s], lambda x: x * 10, name="d")
    watched, watch = recorder()

    def correct(kind, payload):
        watch(kind, payload)
        if kind == "DATA" and payload == 1:
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
