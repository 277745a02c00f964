"""Wire edge groups from Python: byte-valued edges carried both ways between
two graphs over two protobuf bridges (the bytes moved by hand), the status
and issue dicts, the nodes built, the argument and build refusals, the
ordered release and its retry; edge_group_round is the leak loop's round
(test_leaks)."""

import gc

import pytest

from korvalinth import Graph
from test_pending_fatal import Fatal, store_fatal
from test_wire_bridge import CORE, data_of, nodes
from wire_protobuf import envelope

BRIDGE_NODES = [f"wireBridge/{n}" for n in CORE]


class Side:
    """One graph: a bridge of session "link" with its protobuf adapter, an
    outbound group ("out" unless named) over state sources and an inbound
    group "in"."""

    def __init__(self, name, sends, receives, outbound_name="out"):
        self.graph = Graph(name)
        self.bridge = self.graph._wire_bridge("link")
        self.protobuf = self.graph._wire_bridge_protobuf(self.bridge)
        self.sources = {edge: self.graph.state(f"{edge}0".encode(), name=edge) for edge in sends}
        self.outbound = self.graph._wire_edge_group_outbound(self.bridge, list(self.sources.items()),
                                                             name=outbound_name)
        self.inbound = self.graph._wire_edge_group(self.bridge, receives, name="in")
        # The bytes first: the bridge must be listening when the group cuts its first cause.
        self.watched = {key: data_of(node) for key, node in [
            ("bytes", self.protobuf.outbound_bytes), ("out_status", self.outbound.status),
            ("out_issues", self.outbound.issues), ("in_status", self.inbound.status),
            ("in_issues", self.inbound.issues), ("bridge", self.bridge.status),
            *self.inbound.inbound_edges.items()]}

    def seen(self, key):
        return self.watched[key][0]

    def release(self):
        for _, subscription in self.watched.values():
            subscription.unsubscribe()
        for adapter in (self.outbound, self.inbound, self.protobuf):
            adapter.release()


def pump(*sides):
    """Moves every envelope each side sent to the other, until none is left."""
    a, b = sides
    while a.seen("bytes") or b.seen("bytes"):
        for source, target in ((a, b), (b, a)):
            while source.seen("bytes"):
                target.protobuf.inbound_bytes.set(source.seen("bytes").pop(0))


def group_status(edges, **changes):
    return dict(state="released", expected_edges=edges, active_cause_id=None, dirty=0, data=0, released=0, issues=0,
                last_issue=None) | changes


def test_edges_carried_both_ways_and_released_cleanly():
    a, b = Side("a", ["t", "u"], ["h"]), Side("b", ["h"], ["t", "u"])
    pump(a, b)
    a.sources["t"].set(bytearray(b"t1"))  # u has no fresh value yet: no cause
    pump(a, b)
    a.sources["u"].set(type("Sub", (bytes,), {})(b""))
    b.sources["h"].set(b"h1")
    pump(a, b)
    a.sources["t"].set("text")  # not bytes: reported, not carried
    pump(a, b)
    assert (b.seen("t"), b.seen("u"), a.seen("h")) == ([b"t0", b"t1"], [b"u0", b""], [b"h0", b"h1"])
    assert b.seen("in_status")[-1] == group_status(["t", "u"], released=4)
    assert a.seen("in_status")[-1] == group_status(["h"], released=2)
    assert a.seen("in_issues") == b.seen("in_issues") == []
    assert [(s["cursor"], s["next_seq"], s["errors"]) for s in (a.seen("bridge")[-1], b.seen("bridge")[-1])] == [
        (4, 9, 0), (8, 5, 0)]

    # Each outbound group reads its bridge's inbound traffic too, so the
    # peer's frames are unknown edges there; a traffic issue reaches the
    # issues node twice (directly and through the gate).
    def cause(n):
        return f'wire-edge-group-cause:["out","{n}"]'

    assert [(i["code"], i["edge_id"], i["cause_id"]) for i in a.seen("out_issues")] == [
        ("unknown_edge", "h", cause(1)), ("incomplete_cause", "h", cause(1)),
        ("missing_snapshot", "u", None), ("missing_snapshot", "u", None),
        ("unknown_edge", "h", cause(2)), ("incomplete_cause", "h", cause(2)),
        ("malformed_frame", "t", None)]
    not_bytes = {"code": "malformed_frame", "message": "out: outbound edge t must emit bytes", "edge_id": "t",
                 "cause_id": None, "active_cause_id": None}
    assert a.seen("out_issues")[-1] == not_bytes
    assert a.seen("out_status")[-1] == group_status(["t", "u"], state="issues", issues=7, last_issue=not_bytes)

    for side in (a, b):
        side.release()
    assert list(nodes(a.graph)) == BRIDGE_NODES + ["t", "u"]
    assert list(nodes(b.graph)) == BRIDGE_NODES + ["h"]
    assert nodes(a.graph)["wireBridge/command"] == nodes(a.graph)["wireBridge/inbound"] == []


def test_nodes_built():
    graph = Graph()
    bridge = graph._wire_bridge("s")
    source = graph.state(b"", name="src")
    inbound = graph._wire_edge_group(bridge, ["b", "a", "B"])
    outbound = graph._wire_edge_group_outbound(bridge, [("x", source), ("y", source)], name="")
    built = nodes(graph)
    mine = {n: deps for n, deps in built.items() if "/py/" in n and not n.startswith("wireBridge/")}
    g = "wireEdgeGroup"
    assert mine == {
        f"{g}/py/status": [f"{g}/status"], f"{g}/py/issues": [f"{g}/issues"],
        **{f"{g}/py/inbound/{e}": [f"{g}/inbound/{e}"] for e in ["B", "a", "b"]},
        **{f"/py/{kind}/{e}": ["src"] for e in "xy" for kind in ("outbound", "issues")},
        "/py/merged_issues": ["/issues", "/py/issues/x", "/py/issues/y"],
        "/py/merged_status": ["/status", "/py/issues/x", "/py/issues/y"],
        "/py/status": ["/py/merged_status"], "/py/issues": ["/py/merged_issues"],
    }
    assert list(mine)[2:5] == [f"{g}/py/inbound/{e}" for e in ["B", "a", "b"]]  # byte order of the ids
    assert built["/events"][:2] == ["/py/outbound/x", "/py/outbound/y"]
    assert list(inbound.inbound_edges) == ["B", "a", "b"] and outbound.inbound_edges == {}
    assert inbound.inbound_edges is inbound.inbound_edges and outbound.status is not outbound.status


def refused(call, kind, text, note=None):
    with pytest.raises(kind, match=text) as raised:
        call()
    if note:
        assert raised.value.__notes__ == [f"while processing '{note}'"]
    return raised.value


def test_argument_refusals():
    graph = Graph()
    bridge, node = graph._wire_bridge("s"), graph.state(b"")
    inbound, outbound = graph._wire_edge_group, graph._wire_edge_group_outbound
    for call, kind, text, note in [
        (lambda: inbound(node, ["a"]), TypeError, "is not an instance of '_WireBridge'", "bridge"),
        (lambda: inbound(bridge, "ab"), TypeError, "^Can't extract `str` to `Vec`", "inbound_edges"),
        (lambda: inbound(bridge, {"a": 1}), TypeError, "object is not an instance of 'Sequence'", "inbound_edges"),
        (lambda: inbound(bridge, (e for e in "a")), TypeError, "object is not an instance of 'Sequence'", "inbound_edges"),
        (lambda: inbound(bridge, ["a", b"b"]), TypeError, "'bytes' object is not an instance of 'str'",
         "inbound_edges"),
        # Each item is converted whole before the next is taken.
        (lambda: inbound(bridge, ["\ud800", 1]), UnicodeEncodeError, "surrogates not allowed", "inbound_edges"),
        (lambda: inbound(bridge, ["a"], name=1), TypeError, "is not an instance of 'str'", "name"),
        (lambda: outbound(bridge, "ab"), TypeError, "^Can't extract `str` to `Vec`", "outbound_edges"),
        (lambda: outbound(bridge, [["a", node]]), TypeError, "'list' object is not an instance of 'tuple'",
         "outbound_edges"),
        (lambda: outbound(bridge, [("a", node, 1)]), ValueError,
         "^expected tuple of length 2, but got tuple of length 3", "outbound_edges"),
        (lambda: outbound(bridge, [(1, node)]), TypeError, "'int' object is not an instance of 'str'",
         "outbound_edges"),
        (lambda: outbound(bridge, [("a", 1)]), TypeError, "'int' object is not an instance of 'Node'",
         "outbound_edges"),
        (lambda: outbound(bridge, [("\ud800", 1)]), UnicodeEncodeError, "surrogates not allowed", "outbound_edges"),
    ]:
        refused(call, kind, text, note)
    assert len(nodes(graph)) == len(BRIDGE_NODES) + 1


def test_build_refusals():
    graph, other = Graph(), Graph()
    bridge, node = graph._wire_bridge("s"), graph.state(b"", name="n")
    inbound, outbound = graph._wire_edge_group, graph._wire_edge_group_outbound
    panic = BaseException  # faults outside the guard: the framework's PanicException
    for call, kind, text in [
        (lambda: inbound(bridge, []), RuntimeError, "^wire_edge_group: edges must be non-empty$"),
        (lambda: inbound(bridge, ["a", "a"], name="i"), RuntimeError, "^wire_edge_group: duplicate edge_id 'a'$"),
        (lambda: inbound(bridge, [""], name="j"), RuntimeError, "^wire_edge_group: edge_id must be non-empty$"),
        (lambda: outbound(bridge, [], name="o1"), RuntimeError, "^wire_edge_group: edges must be non-empty$"),
        (lambda: outbound(bridge, [("", node)], name="o2"), RuntimeError,
         "^wire_edge_group: edge_id must be non-empty$"),
        (lambda: outbound(bridge, [("a", node), ("a", node)], name="o3"), panic,
         "^duplicate graph node id 'o3/py/outbound/a'$"),
        (lambda: outbound(bridge, [("", node)], name="o2"), panic, "^duplicate graph node id 'o2/py/outbound/'$"),
        (lambda: other._wire_edge_group_outbound(bridge, [("a", node)]), panic,
         "^wireEdgeGroup/py/outbound/a dep belongs to a different graph"),
    ]:
        raised = refused(call, kind, text)
        assert kind is RuntimeError or type(raised).__name__ == "PanicException"
    leftovers = [n for n in nodes(graph) if n not in BRIDGE_NODES]
    assert leftovers == ["n", "o2/py/outbound/", "o2/py/issues/", "o3/py/outbound/a", "o3/py/issues/a"]
    first = inbound(bridge, ["a"])
    refused(lambda: inbound(bridge, ["b"]), RuntimeError, "^duplicate graph node id 'wireEdgeGroup/events'$")
    refused(lambda: outbound(bridge, [("b", node)]), RuntimeError, "^duplicate graph node id 'wireEdgeGroup/events'$")
    count = len(nodes(graph))
    for call in (lambda: inbound(bridge, ["z"], name="z"), lambda: outbound(bridge, [("z", node)], name="z")):
        subscription = store_fatal(graph, node)[1]
        with pytest.raises(Fatal):
            call()
        subscription.unsubscribe()
        node.set(b"")
    assert len(nodes(graph)) == count and first.release() is None


# watched: the facade node Python subscribes to; envelopes: clean envelopes
# that pass the bridge meanwhile. They leave no projection dirty, so the
# subscriber alone holds the release back.
@pytest.mark.parametrize("watched, envelopes", [("status", 0), ("issues", 0), ("status", 2), ("issues", 2)])
def test_release_order_refusals_and_retry(watched, envelopes):
    graph = Graph()
    bridge, node = graph._wire_bridge("s"), graph.state(b"")
    adapter = graph._wire_bridge_protobuf(bridge)
    inbound = graph._wire_edge_group(bridge, ["a"], name="in")
    outbound = graph._wire_edge_group_outbound(bridge, [("a", node)], name="out")
    assert nodes(graph)["wireBridge/command"] == ["in/commands", "out/commands"]
    seq = 0
    for group, name in ((inbound, "in"), (outbound, "out")):
        watching = getattr(group, watched).subscribe(lambda kind, payload: None)
        for _ in range(envelopes):
            seq += 1
            adapter.inbound_bytes.set(envelope(seq, "start" if seq == 1 else "data", None if seq == 1 else b"v"))
        assert graph._find(f"{name}/py/issues").status() == "sentinel"  # no issue yet, not left dirty
        refused(group.release, BaseException, "^graph: cannot release node group for wire_edge_group python facade "
                                              f"release; '{name}/py/{watched}' still has live subscribers")
        assert f"{name}/py/status" in nodes(graph)  # nothing taken down
        watching.unsubscribe()
        # The core group refuses while its status is watched through a lookup handle: it
        # is listed again as a command producer, the rest stays taken down.
        watching = graph._find(f"{name}/status").subscribe(lambda kind, payload: None)
        refused(group.release, BaseException, "^graph: cannot release node group for wire_edge_group release; "
                                              f"'{name}/status' still has live subscribers")
        assert f"{name}/py/status" not in nodes(graph) and f"{name}/status" in nodes(graph)
        assert f"{name}/commands" in nodes(graph)["wireBridge/command"]
        watching.unsubscribe()
        assert group.release() is None and group.release() is None
        assert not any(n.startswith(name + "/") for n in nodes(graph))
        assert type(group.status).__name__ == "Node" and group.status is not group.status
    assert nodes(graph)["wireBridge/command"] == []
    outbound.inbound_edges["kept"] = 1
    assert outbound.inbound_edges == {"kept": 1} and list(inbound.inbound_edges) == ["a"]
    refused(lambda: graph._wire_edge_group_outbound(bridge, [("a", node)], name="out"), BaseException,
            r"^graph node id 'out/py/outbound/a' has been released from this graph lifecycle \(D122\)$")
    # Dropped without release: everything stays registered.
    graph._wire_edge_group(bridge, ["a"], name="kept")
    gc.collect()
    assert "kept/py/inbound/a" in nodes(graph) and "kept/commands" in nodes(graph)["wireBridge/command"]


def test_a_release_refused_by_the_core_group_sends_nothing():
    # The core issues node watched by lookup keeps the traffic node active,
    # its last record the last command sent, while the release detaches the
    # commands node and, refused, attaches it again.
    a, b = Side("a", ["t"], ["h"]), Side("b", ["h"], ["t"])
    pump(a, b)
    a.sources["t"].set(b"t1")
    pump(a, b)
    for key in ("out_status", "out_issues"):
        a.watched[key][1].unsubscribe()
    bridge_before = a.seen("bridge")[-1]
    blocking = a.graph._find("out/issues").subscribe(lambda kind, payload: None)
    refused(a.outbound.release, BaseException, "^graph: cannot release node group for wire_edge_group release; "
                                               "'out/issues' still has live subscribers")
    assert a.seen("bytes") == [] and a.seen("bridge")[-1] == bridge_before
    pump(a, b)
    assert b.seen("in_issues") == [] and b.seen("t") == [b"t0", b"t1"]
    blocking.unsubscribe()
    assert a.outbound.release() is None
    assert a.seen("bytes") == [] and not any(n.startswith("out/") for n in nodes(a.graph))


# A name and the bytes of the longest cause id it makes: the last cause
# number's, wire-edge-group-cause:["{name}","18446744073709551615"].
@pytest.mark.parametrize("name, longest", [
    ("n" * 974, 1023), ("n" * 975, 1024), ("n" * 976, 1025),
    ("\x01" * 162 + "nnn", 1024), ("\x01" * 163, 1027),  # escaped, six bytes each
    ("\u00e9" * 487 + "n", 1024), ("\u00e9" * 488, 1025), ("\U0001f600" * 244, 1025),  # UTF-8, not escaped
])
def test_a_group_sends_only_cause_ids_its_peer_accepts(name, longest):
    if longest > 1024:
        graph = Graph()
        bridge, source = graph._wire_bridge("s"), graph.state(b"", name="t")
        built = nodes(graph)
        refused(lambda: graph._wire_edge_group_outbound(bridge, [("t", source)], name=name), ValueError,
                f"^wire_edge_group outbound name makes cause_id exceed 1024 bytes \\(up to {longest} bytes\\)$")
        assert nodes(graph) == built
        # A group of no edges sends no causes: refused for that alone.
        refused(lambda: graph._wire_edge_group_outbound(bridge, [], name=name), RuntimeError,
                "^wire_edge_group: edges must be non-empty$")
        return
    a, b = Side("a", ["t"], ["h"], outbound_name=name), Side("b", ["h"], ["t"])
    a.sources["t"].set(b"t1")
    pump(a, b)
    assert b.seen("t") == [b"t0", b"t1"] and b.seen("in_issues") == []


def edge_group_round(i):
    """Two graphs exchanging one value each way over edge groups, then
    everything but the bridges and sources released (the leak loop's round)."""
    a, b = Side("a", ["t"], ["h"]), Side("b", ["h"], ["t"])
    a.sources["t"].set(b"t%d" % i)
    b.sources["h"].set(b"h1")
    pump(a, b)
    assert (b.seen("t"), a.seen("h")) == ([b"t0", b"t%d" % i], [b"h0", b"h1"])
    for side in (a, b):
        side.release()
        assert len(nodes(side.graph)) == len(BRIDGE_NODES) + 1
