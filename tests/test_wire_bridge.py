"""Wire bridges and protobuf adapters on a graph: the nodes they build, the
status and issue dicts of envelopes fed in by hand (written by the protobuf
package), the argument, build and release rules."""

import pytest

from conftest import run_in_thread
from korvalinth import Graph
from test_pending_fatal import Fatal, store_fatal
from wire_protobuf import envelope

CORE = ["command", "inbound", "events", "outbound", "acks", "nacks", "status", "errors", "cursor", "attempts",
        "py/status", "py/issues"]
PROTOBUF = ["inbound_bytes", "decoded_inbound", "events", "outbound_bytes", "status", "issues"]


def nodes(graph):
    return {n["id"]: n["deps"] for n in graph.describe()["nodes"]}


def data_of(node):
    seen = []
    return seen, node.subscribe(lambda kind, payload: seen.append(payload) if kind == "DATA" else None)


def status(**changes):
    return dict(state="idle", session_id="s", cursor=0, next_seq=1, pending=0, attempts=0, acked=0, nacked=0, errors=0,
                last_seq=None, last_delay_ms=None) | changes


@pytest.mark.parametrize("b, p", [("wireBridge", "wireBridgeProtobuf"), ("", "p"), ("b", "")])
def test_nodes_built(b, p):
    graph = Graph()
    default = b == "wireBridge"  # the default names, given by leaving name out
    bridge = graph._wire_bridge("s") if default else graph._wire_bridge("s", name=b)
    adapter = graph._wire_bridge_protobuf(bridge) if default else graph._wire_bridge_protobuf(bridge, p)
    built = nodes(graph)
    assert list(built) == [f"{b}/{n}" for n in CORE] + [f"{p}/{n}" for n in PROTOBUF]
    assert [built[f"{b}/py/status"], built[f"{b}/py/issues"], built[f"{b}/inbound"]] == [
        [f"{b}/status"], [f"{b}/errors"], [f"{p}/decoded_inbound"]]
    assert [built[f"{p}/{n}"] for n in PROTOBUF] == [
        [], [f"{p}/inbound_bytes"], [f"{p}/inbound_bytes", f"{b}/outbound"], [f"{b}/outbound"], [f"{p}/events"],
        [f"{p}/events"]]
    assert bridge.status is not bridge.status and adapter.issues is not adapter.issues
    assert bridge.release() is None and bridge.release() is None  # marks the bridge only


def test_build_refusals():
    graph, other = Graph(), Graph()
    state = graph.state(0)
    with pytest.raises(RuntimeError, match="^wire_bridge: session_id must be non-empty$"):
        graph._wire_bridge("")
    named = lambda name: graph._wire_bridge("s", name=name)  # noqa: E731
    for call, value, name in [(graph._wire_bridge, b"s", "session_id"), (graph._wire_bridge, 1, "session_id"),
                              (graph._wire_bridge, None, "session_id"), (named, 5, "name"),
                              (graph._wire_bridge_protobuf, state, "bridge")]:
        with pytest.raises(TypeError, match="is not an instance of ") as raised:
            call(value)
        assert raised.value.__notes__ == [f"while processing '{name}'"]
    bridge = graph._wire_bridge("s")
    for call in [lambda: bridge.status, bridge.release]:
        assert str(run_in_thread(call)["raised"]) == "_native::PyWireBridge is unsendable, but sent to another thread"
    with pytest.raises(RuntimeError, match="^duplicate graph node id 'wireBridge/command'$"):
        graph._wire_bridge("t")
    with pytest.raises(BaseException, match="^wireBridgeProtobuf/events dep belongs to a different graph") as raised:
        other._wire_bridge_protobuf(bridge)  # not in the guard: the framework's panic exception
    assert type(raised.value).__name__ == "PanicException"
    assert list(nodes(other)) == ["wireBridgeProtobuf/inbound_bytes", "wireBridgeProtobuf/decoded_inbound"]
    for build in [lambda: graph._wire_bridge("u", name="u"), lambda: graph._wire_bridge_protobuf(bridge)]:
        storing = graph.state(0)
        count = len(nodes(graph))
        stored, subscription = store_fatal(graph, storing)
        with pytest.raises(Fatal):
            build()
        assert len(nodes(graph)) == count
    # A Python-facing node's name taken: the framework's panic exception; what was built stays registered.
    taken = Graph()
    taken.state(0, name="x/py/issues")
    with pytest.raises(BaseException, match="^duplicate graph node id 'x/py/issues'$") as raised:
        taken._wire_bridge("s", name="x")
    assert type(raised.value).__name__ == "PanicException"
    assert list(nodes(taken)) == ["x/py/issues"] + [f"x/{n}" for n in CORE[:-1]]


def test_inbound_envelopes_become_status_and_issue_dicts():
    graph = Graph()
    bridge = graph._wire_bridge("s")
    adapter = graph._wire_bridge_protobuf(bridge)
    watched = [data_of(node) for node in (bridge.status, bridge.issues, adapter.status, adapter.issues)]
    (statuses, _), (issues, _), (events, _), (problems, _) = watched
    for value in [envelope(1, "start"), bytearray(envelope(2, content=b"x")), envelope(2, content=b"x"),  # stale
                  envelope(4, content=b"y"), envelope(3, "error", b"bad \xff"), "text", b"\x00"]:
        adapter.inbound_bytes.set(value)
    # A record per run of the bridge's status node: consecutive ones may repeat.
    changes = [record for i, record in enumerate(statuses) if i == 0 or record != statuses[i - 1]]
    assert changes[:2] == [status(cursor=1), status(cursor=2)]
    assert statuses[-1] == status(state="errored", cursor=3, errors=4, last_seq=3)
    assert list(statuses[-1]) == list(status())
    not_bytes = "wire_bridge_protobuf inbound_bytes requires bytes"
    unknown = "unknown_field: WireBridgeEnvelope contains unknown field 0"
    assert issues == [{"code": "bridge_error", "message": m} for m in [
        "wireBridge: inbound seq 4 arrived before expected seq 3", "bad \ufffd", not_bytes, unknown]]
    assert events == [{"direction": "inbound", "state": s} for s in ["valid"] * 5 + ["invalid"] * 2]
    assert problems == [{"direction": "inbound", "category": "malformed", "message": not_bytes},
                        {"direction": "inbound", "category": "unknown_field", "message": unknown}]


def test_protobuf_adapter_release():
    graph = Graph()
    bridge = graph._wire_bridge("s")
    first, second = graph._wire_bridge_protobuf(bridge, "a"), graph._wire_bridge_protobuf(bridge, "b")
    watching = first.status.subscribe(lambda kind, payload: None)
    with pytest.raises(BaseException, match="^graph: cannot release node group for wire_bridge_protobuf release; "
                                            "'a/status' still has live subscribers"):
        first.release()
    assert nodes(graph)["wireBridge/inbound"] == ["b/decoded_inbound", "a/decoded_inbound"]  # attached again
    watching.unsubscribe()
    assert first.release() is None and first.release() is None
    assert nodes(graph)["wireBridge/inbound"] == ["b/decoded_inbound"]
    assert not any(n.startswith("a/") for n in nodes(graph)) and type(first.status).__name__ == "Node"
    statuses, subscription = data_of(bridge.status)
    second.inbound_bytes.set(envelope(1, "start"))
    assert statuses[-1]["cursor"] == 1
    with pytest.raises(BaseException, match=r"^graph node id 'a/inbound_bytes' has been released .*\(D122\)$"):
        graph._wire_bridge_protobuf(bridge, "a")
    del second  # dropped without release: its nodes stay
    with pytest.raises(BaseException, match="^duplicate graph node id 'b/inbound_bytes'$"):
        graph._wire_bridge_protobuf(bridge, "b")


@pytest.mark.parametrize("last, issue", [
    (envelope(3, content=b"early"), "wireBridge: inbound seq 3 arrived before expected seq 2"),
    ("text", "wire_bridge_protobuf inbound_bytes requires bytes")])
def test_a_release_refused_by_the_group_hands_the_bridge_nothing_again(last, issue):
    # The watched status keeps the adapter's events node reading the bytes
    # too, and blocks the release, which detaches the decoded-inbound node
    # and, refused, attaches it again: it is handed the last bytes anew.
    graph = Graph()
    bridge = graph._wire_bridge("s")
    adapter = graph._wire_bridge_protobuf(bridge)
    (statuses, watching), (issues, listening) = data_of(bridge.status), data_of(bridge.issues)
    blocking = adapter.status.subscribe(lambda kind, payload: None)
    for value in (envelope(1, "start"), last):
        adapter.inbound_bytes.set(value)
    before = statuses[-1]
    with pytest.raises(BaseException, match="^graph: cannot release node group for wire_bridge_protobuf release; "
                                            "'wireBridgeProtobuf/status' still has live subscribers"):
        adapter.release()
    assert issues == [{"code": "bridge_error", "message": issue}] and statuses[-1] == before
    adapter.inbound_bytes.set(envelope(2, "start"))
    assert statuses[-1]["cursor"] == 2 and len(issues) == 1
    blocking.unsubscribe()
    assert adapter.release() is None and nodes(graph)["wireBridge/inbound"] == []



@pytest.mark.parametrize("links", [[0, 1, 0, 1, 1, 0], [1, 1, 1, 1], [2, 0, 2, 1, 1, 2, 0]])
def test_each_adapter_feeds_the_bridge_in_its_own_wave(links):
    # Several links into one bridge, some idle: every envelope is accepted in
    # the wave of its own set(), in arrival order, whatever the others hold.
    graph = Graph()
    bridge = graph._wire_bridge("s")
    adapters = [graph._wire_bridge_protobuf(bridge, f"link{i}") for i in range(3)]
    statuses, subscription = data_of(bridge.status)
    issues, issue_subscription = data_of(bridge.issues)
    for seq, link in enumerate(links, start=1):
        adapters[link].inbound_bytes.set(envelope(seq, "data", content=b"%d" % seq))
        assert statuses[-1] == status(cursor=seq)
    adapters[links[-1]].inbound_bytes.set(envelope(1, "start"))  # a replay is stale: nothing moves
    assert statuses[-1] == status(cursor=len(links)) and issues == []
    assert bridge.issues.status() == "sentinel"  # no issue yet, not left dirty
    subscription.unsubscribe()  # deactivated and activated again: still no waiting for the other links
    issue_subscription.unsubscribe()
    statuses, subscription = data_of(bridge.status)
    adapters[links[0]].inbound_bytes.set(envelope(len(links) + 1, "start"))
    assert statuses[-1] == status(cursor=len(links) + 1)


def test_a_status_subscriber_that_sends_the_next_envelope_is_refused_where_it_sets():
    # Flow control from a subscriber of the bridge's status: its set() joins
    # the running wave and would reach nodes whose functions are on the
    # stack, so it raises the feedback-cycle error and changes nothing; the
    # status stream lives on, and the host sends the refused envelope once
    # the wave has returned. Every envelope is accepted once, in order.
    graph = Graph()
    bridge = graph._wire_bridge("s")
    adapter = graph._wire_bridge_protobuf(bridge)
    issues, issue_subscription = data_of(bridge.issues)
    cursors, refused, outside, tried = [], [], [], set()

    def send_next(kind, record):
        if kind != "DATA":
            return
        cursors.append(record["cursor"])
        if record["cursor"] == len(outside) and len(outside) < 1000 and record["cursor"] not in tried:
            tried.add(record["cursor"])
            before = len(cursors)
            try:
                adapter.inbound_bytes.set(envelope(len(outside) + 1, "data", content=b"v"))
            except RuntimeError as error:
                refused.append(str(error))
            assert len(cursors) == before  # nothing reached the bridge

    subscription = bridge.status.subscribe(send_next)
    while len(outside) < 1000:
        outside.append(len(outside) + 1)
        adapter.inbound_bytes.set(envelope(len(outside), "data", content=b"v"))
        assert cursors[-1] == len(outside)
    # The first envelope comes from outside; after the last there is none to send.
    assert refused == ["synchronous feedback cycle: node fn re-entered its own wave (R-reentrancy / D37)"] * 999
    assert [c for i, c in enumerate(cursors) if i == 0 or c != cursors[i - 1]] == list(range(1, 1001))
    assert issues == [] and bridge.status.status() == "settled"
