"""Graph.observe: one observer on every node of the graph."""

import gc
import sys

import pytest

from korvalinth import Graph, Subscription


class Fatal(BaseException):
    pass


def test_observer_sees_every_node_with_path_tier_and_seq():
    graph = Graph()
    a = graph.state(1, name="a")
    b = graph.state_empty(name="b")
    unnamed = graph.state("u")
    seen = []
    sub = graph.observe(lambda *args: seen.append(args))
    assert type(sub) is Subscription
    paths = [path for path, *_ in seen]
    assert set(paths) == {"a", "b", "state#0"}
    assert ("a", "DATA", 1, 3) == seen[paths.index("a") + 1][:4]
    start = len(seen)
    value = object()
    b.set(value)
    assert [s[:4] for s in seen[start:]] == [("b", "DIRTY", None, 2), ("b", "DATA", value, 3)]
    assert seen[-1][2] is value
    seqs = [s[4] for s in seen]
    assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))
    a.pause("lock")
    a.resume("lock")
    a.invalidate()
    assert seen[-1][:4] == ("a", "INVALIDATE", None, 4)
    sub.unsubscribe()
    count = len(seen)
    unnamed.set("v")
    assert len(seen) == count


def test_nodes_added_later_are_not_observed():
    graph = Graph()
    seen = []
    sub = graph.observe(lambda *args: seen.append(args))
    assert seen == []
    late = graph.state(1)
    late.set(2)
    assert seen == []
    del sub


def test_observer_exceptions_are_printed_and_dropped(capsys):
    graph = Graph()
    node = graph.state(1)

    def observer(path, kind, payload, tier, seq):
        if kind == "DATA":
            raise ValueError("bad observer")

    sub = graph.observe(observer)
    node.set(2)
    assert node.cache() == 2
    assert capsys.readouterr().err.count("ValueError: bad observer") == 2
    del sub


def test_base_exception_during_observe_leaves_no_sink():
    graph = Graph()
    first = graph.state(1, name="first")
    second = graph.state(2, name="second")
    calls = []
    stored = Fatal()

    def observer(path, kind, payload, tier, seq):
        calls.append((path, kind))
        if path == "second" and kind == "DATA":
            raise stored

    with pytest.raises(Fatal) as info:
        graph.observe(observer)
    assert info.value is stored
    del calls[:]
    first.set(3)
    second.set(4)
    assert calls == []
    assert graph.raise_pending_fatal() is None


def test_base_exception_from_an_observer_aborts_the_operation():
    graph = Graph()
    node = graph.state(1)
    stored = KeyboardInterrupt()

    def observer(path, kind, payload, tier, seq):
        if kind == "DATA" and payload == 5:
            raise stored

    sub = graph.observe(observer)
    with pytest.raises(KeyboardInterrupt) as info:
        node.set(5)
    assert info.value is stored
    node.set(6)
    assert node.cache() == 6
    del sub


def test_drop_detaches_and_nothing_leaks():
    graph = Graph()
    nodes = [graph.state(i) for i in range(5)]
    calls = []

    def observer(*args):
        calls.append(args[1])

    for _ in range(20):
        graph.observe(observer)
    gc.collect()
    refs = sys.getrefcount(observer)
    for _ in range(300):
        sub = graph.observe(observer)
        nodes[0].set(1)
        del sub
        graph.observe(observer).unsubscribe()
    gc.collect()
    assert sys.getrefcount(observer) == refs
    calls.clear()
    nodes[1].set(2)
    assert calls == []


@pytest.mark.parametrize(
    "kind, text, tier",
    [("PAUSE", "lock", 1), ("RESUME", "", 1), ("PULL", "p", 1), ("ERROR", "boom", 5), ("TEARDOWN", None, 6)],
)
def test_payloads_of_each_kind_for_subscribers_and_observers(kit_probe, kind, text, tier):
    # Subscribers get the lock id and the pull id; observers get None for
    # PAUSE, RESUME and PULL. Both get the display text of an ERROR.
    probe = kit_probe.make_probe()
    subscribed, observed = [], []
    probe.sink_call(lambda *args: subscribed.append(args), kind, text)
    probe.sink_call(lambda *args: observed.append(args), kind, text, "child::n")
    assert subscribed == [(kind, None if kind == "TEARDOWN" else text)]
    assert observed == [("child::n", kind, text if kind == "ERROR" else None, tier, 7)]


@pytest.mark.parametrize(
    "kind, text, payload, tier",
    [
        ("START", None, None, 0),
        ("DIRTY", None, None, 2),
        ("RESOLVED", None, None, 3),
        ("INVALIDATE", None, None, 4),
        ("COMPLETE", None, None, 5),
        ("DATA", "v", "v", 3),
        ("DATA", 'json:{"k":[1]}', {"k": [1]}, 3),
    ],
)
def test_payloads_of_kinds_without_text_and_of_data(kit_probe, kind, text, payload, tier):
    # Kinds without a payload give None to both; a DATA gives its value.
    probe = kit_probe.make_probe()
    subscribed, observed = [], []
    probe.sink_call(lambda *args: subscribed.append(args), kind, text)
    probe.sink_call(lambda *args: observed.append(args), kind, text, "child::n")
    assert subscribed == [(kind, payload)]
    assert observed == [("child::n", kind, payload, tier, 7)]


def test_an_observer_of_a_restored_graph_sees_mounted_nodes_under_their_paths():
    from restore_support import checkpoint, cp_node

    from korvalinth import restore_graph, restore_registry

    leaf = checkpoint([cp_node("x", value=({"k": [1]},))], name="leaf")
    child = checkpoint([cp_node("s", value=(1.5,))], name="child", mounts=[("inner", leaf)])
    root = checkpoint([cp_node("r", value=(0,))], name="root", mounts=[("sub", child)])
    graph = restore_graph(root, restore_registry([]))
    seen = []
    sub = graph.observe(lambda *args: seen.append(args))
    data = {path: payload for path, kind, payload, tier, seq in seen if kind == "DATA"}
    # Restored values are JSON values: each observer call gets new objects.
    assert data == {"r": 0, "sub::s": 1.5, "sub::inner::x": {"k": [1]}}
    assert type(data["r"]) is int and type(data["sub::s"]) is float
    assert [args[4] for args in seen] == list(range(seen[0][4], seen[0][4] + len(seen)))
    del sub
