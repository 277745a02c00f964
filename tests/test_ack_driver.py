"""The ack driver of a wire bridge: ack timeouts found from the facts of a
clock node and fed back into the bridge, which retries until the peer
acknowledges or the attempts run out; the timeouts, status and issue dicts;
the argument, build and release rules."""

import pytest

from korvalinth import Graph
from test_pending_fatal import Fatal, store_fatal
from test_wire_bridge import data_of, nodes
from wire_protobuf import WireBridgeEnvelope, envelope, parse

DRIVER = ["events", "commands", "timeouts", "status", "issues"]
NOT_INTEGER = "wire_bridge_ack_driver clock facts must be non-negative integers"
NOT_MONOTONIC = "wire_bridge_ack_driver clock facts must be monotonic non-decreasing"
DIRTY, DATA = 1, 2  # edge frame kinds


def timeout(seq, attempt, at):
    return dict(seq=seq, attempt=attempt, observed_at_ms=at)


def status(now_ms, pending=0, last_timeout=None, state="ready", timeout_ms=10):
    return dict(timeout_ms=timeout_ms, state=state, pending=pending, now_ms=now_ms, last_timeout=last_timeout)


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize("name", [None, "", "d"])
def test_nodes_built(name):
    graph = Graph()
    bridge = graph._wire_bridge("s")
    clock = graph.state_empty(name="clock")
    before = list(nodes(graph))
    driver = graph._wire_bridge_ack_driver(bridge, clock, 10, name=name)
    base = "wireBridgeAckDriver" if name is None else name
    built = nodes(graph)
    assert list(built) == before + [f"{base}/{n}" for n in DRIVER]
    assert [built[f"{base}/{n}"] for n in DRIVER] == [["clock"]] + [[f"{base}/events"]] * 4
    assert built["wireBridge/command"] == [f"{base}/commands"]
    assert driver.status is not driver.status and type(driver.timeouts).__name__ == "Node"


@pytest.mark.parametrize("argument, value, error", [
    ("bridge", "clock", TypeError), ("clock", "bridge", TypeError), ("timeout_ms", -1, OverflowError),
    ("timeout_ms", 2**64, OverflowError), ("timeout_ms", 1.5, TypeError), ("name", 1, TypeError)])
def test_argument_refusals_build_nothing(argument, value, error):
    graph = Graph()
    bridge = graph._wire_bridge("s")
    clock = graph.state_empty(name="clock")
    arguments = dict(bridge=bridge, clock=clock, timeout_ms=10)
    arguments[argument] = {"clock": clock, "bridge": bridge}.get(value, value)
    count = len(nodes(graph))
    with pytest.raises(error) as raised:
        graph._wire_bridge_ack_driver(**arguments)
    assert raised.value.__notes__ == [f"while processing '{argument}'"]
    assert len(nodes(graph)) == count


@pytest.mark.parametrize("facts, timeout_ms, statuses, issues", [
    ([True, -1, 2**64, 1.5, None, "7"], 10, [status(None, state="issues")] * 6, [NOT_INTEGER] * 6),
    ([5, 3, 5, Index()], True, [status(5, timeout_ms=1), status(5, state="issues", timeout_ms=1),
                                status(5, timeout_ms=1), status(7, timeout_ms=1)], [NOT_MONOTONIC]),
    ([0, 2**64 - 1], 0, [status(0, timeout_ms=0), status(2**64 - 1, timeout_ms=0)], []),
])
def test_clock_facts(facts, timeout_ms, statuses, issues):
    graph = Graph()
    clock = graph.state_empty(name="clock")
    driver = graph._wire_bridge_ack_driver(graph._wire_bridge("s"), clock, timeout_ms)
    watched = [data_of(node) for node in (driver.status, driver.issues, driver.timeouts)]
    for fact in facts:
        clock.set(fact)  # refused facts are issues, never exceptions
    assert [seen for seen, _ in watched] == [
        statuses, [{"code": "invalid_clock", "message": m} for m in issues], []]


@pytest.fixture
def exchange():
    """Two graphs, each with a bridge of session "s" and its protobuf
    adapter: the first sends the value of "v" as an outbound edge group and
    has an ack driver, the second receives it in an inbound edge group."""
    a, b = Graph("a"), Graph("b")
    bridges = a._wire_bridge("s"), b._wire_bridge("s")
    adapter, peer = (graph._wire_bridge_protobuf(bridge) for graph, bridge in zip((a, b), bridges))
    clock = a.state_empty(name="clock")
    driver = a._wire_bridge_ack_driver(bridges[0], clock, 10)
    source = a.state_empty(name="v")
    a._wire_edge_group_outbound(bridges[0], [("v", source)])
    inbound = b._wire_edge_group(bridges[1], ["v"])
    watched = [data_of(node) for node in (adapter.outbound_bytes, inbound.inbound_edges["v"], driver.timeouts,
                                          driver.status, bridges[0].status)]
    yield adapter, peer, clock, source, [seen for seen, _ in watched]  # the subscriptions live until teardown


@pytest.mark.parametrize("outcome", ["acked", "exhausted"])
def test_envelopes_are_retried_on_timeouts_until_acked_or_exhausted(exchange, outcome):
    adapter, peer, clock, source, (sent, received, timeouts, statuses, bridge_status) = exchange
    source.set(b"x")  # one cause: a DIRTY and a DATA frame, seqs 1 and 2
    for now in (0, 9, 10, 15):  # both first attempts time out at 10 and are sent again at once
        clock.set(now)
    if outcome == "acked":
        for data in sent:
            peer.inbound_bytes.set(data)  # the second copies are stale there
        for seq in (1, 2):
            adapter.inbound_bytes.set(envelope(seq, "ack", ack_for_seq=seq))
        clock.set(25)
        assert received == [b"x"]
    else:
        clock.set(20)  # the second attempts time out: the last ones allowed
        clock.set(30)
    envelopes = [parse(WireBridgeEnvelope, data) for data in sent]
    assert [(e.metadata.seq, e.metadata.attempt, e.data.frame.kind, e.data.frame.value) for e in envelopes] == [
        (1, 1, DIRTY, b""), (2, 1, DATA, b"x"), (1, 2, DIRTY, b""), (2, 2, DATA, b"x")]
    fired = [[timeout(1, attempt, at), timeout(2, attempt, at)] for attempt, at in ((1, 10), (2, 20))]
    assert timeouts == fired[0] + (fired[1] if outcome == "exhausted" else [])
    assert statuses == [status(0, 2), status(9, 2)] + [status(10, 2, t) for t in fired[0]] + [status(15, 2)] + (
        [status(25)] if outcome == "acked" else [status(20, 2, t) for t in fired[1]] + [status(30)])
    last = bridge_status[-1]
    assert (last["state"], last["pending"], last["acked"], last["attempts"]) == (
        ("open", 0, 2, 4) if outcome == "acked" else ("exhausted", 0, 0, 4))


def test_conformance_ack_timeout():
    graph = Graph()
    bridge = graph._wire_bridge("s")
    driver = graph._wire_bridge_ack_driver(bridge, graph.state_empty(), 10)
    issues, subscription = data_of(bridge.issues)
    for arguments, error, text, name in [
            ((1, 2**32, None), OverflowError, "out of range integral type conversion attempted", "attempt"),
            ((1, -1, None), OverflowError, "out of range integral type conversion attempted", "attempt"),
            ((-1, 1, None), OverflowError, None, "seq"), ((1, 1, 2**64), OverflowError, None, "observed_at_ms"),
            ((1.5, 1, None), TypeError, None, "seq")]:
        with pytest.raises(error, match=text) as raised:
            driver._conformance_ack_timeout(*arguments)
        assert raised.value.__notes__ == [f"while processing '{name}'"]
    # The bridge checks what arrives: a seq or attempt of 0 is its protocol error.
    assert driver._conformance_ack_timeout(True, 2**32 - 1, 0) is None  # not pending: nothing to do
    driver._conformance_ack_timeout(seq=0, attempt=1, observed_at_ms=None)
    driver._conformance_ack_timeout(1, 0, 5)
    assert [issue["message"] for issue in issues] == [f"wireBridge: ack-timeout command {field} must be positive"
                                                      for field in ("seq", "attempt")]
    driver.release()
    assert driver._conformance_ack_timeout(0, 1, None) is None and len(issues) == 2
    with pytest.raises(OverflowError):
        driver._conformance_ack_timeout(1, -1, None)


def test_release():
    graph = Graph()
    bridge = graph._wire_bridge("s")
    first, second = (graph._wire_bridge_ack_driver(bridge, graph.state_empty(), 10, name=n) for n in "ab")
    assert nodes(graph)["wireBridge/command"] == ["a/commands", "b/commands"]
    with pytest.raises(BaseException, match="^duplicate graph node id 'a/events'$"):
        graph._wire_bridge_ack_driver(bridge, graph.state_empty(), 10, name="a")
    watching = first.timeouts.subscribe(lambda kind, payload: None)
    with pytest.raises(BaseException, match="^graph: cannot release node group for wire_bridge_ack_driver release; "
                                            "'a/timeouts' still has live subscribers"):
        first.release()
    assert nodes(graph)["wireBridge/command"] == ["b/commands"]  # detached, not attached again
    watching.unsubscribe()
    assert first.release() is None and first.release() is None
    assert not any(n.startswith("a/") for n in nodes(graph)) and type(first.status).__name__ == "Node"
    second.release()
    assert nodes(graph)["wireBridge/command"] == []
    with pytest.raises(BaseException, match=r"^graph node id 'b/events' has been released .*\(D122\)$"):
        graph._wire_bridge_ack_driver(bridge, graph.state_empty(), 10, name="b")


def test_pending_fatal_before_and_during_the_build():
    graph = Graph()
    bridge = graph._wire_bridge("s")
    keep = bridge.status.subscribe(lambda kind, payload: None)  # the command node is active: attaching runs the clock
    victim, stored = graph.state(0), []

    def clock_callback(value):
        if not stored:
            stored.append(store_fatal(graph, victim))
        return value

    clock = graph.derived([graph.state(1)], clock_callback, name="clock")
    count = len(nodes(graph))
    with pytest.raises(Fatal) as raised:
        graph._wire_bridge_ack_driver(bridge, clock, 10)
    assert raised.value is stored[0][0]
    # Detached and released: the names are spent, the bridge is as before.
    assert len(nodes(graph)) == count and nodes(graph)["wireBridge/command"] == []
    store_fatal(graph, graph.state(0))
    with pytest.raises(Fatal):
        graph._wire_bridge_ack_driver(bridge, clock, 10, name="other")
    assert len(nodes(graph)) == count + 1
    del keep
