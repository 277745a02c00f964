"""Node value, status and flow operations, and Node.subscribe /
Subscription, on state nodes."""

import gc
import sys
import tracemalloc
import weakref

import pytest

from korvalinth import _native


class Fatal(BaseException):
    pass


class Marker:
    pass


@pytest.fixture
def graph():
    return _native.Graph()


@pytest.fixture
def probe(kit_probe):
    # Lookup handles, stale nodes and a pending fatal stored on demand: the
    # test module's nodes share its probe's slot.
    return kit_probe.make_probe()


def state(graph, *value):
    if hasattr(graph, "make_node"):
        return graph.make_node(*value)
    return graph.state(*value) if value else graph.state_empty()


def recorder():
    seen = []
    return seen, lambda kind, payload: seen.append((kind, payload))


def test_a_set_value_reaches_subscribers_as_the_same_object(graph):
    node = state(graph, None)
    seen, callback = recorder()
    sub = node.subscribe(callback)
    assert type(sub) is _native.Subscription
    assert seen == [("START", None), ("DATA", None)]
    value = Marker()
    assert node.set(value) is None
    assert seen[-1][0] == "DATA" and seen[-1][1] is value
    assert node.cache() is value
    other = Marker()
    assert node.send(other) is None
    assert seen[-1][1] is other and node.cache() is other
    assert node.cache_entry() == (True, other)


def test_cache_and_status_through_the_lifecycle(graph):
    empty = state(graph)
    assert empty.status() == "sentinel"
    assert empty.cache() is None and empty.cache_entry() == (False, None)
    empty.set(None)
    assert empty.status() == "settled"
    assert empty.cache() is None and empty.cache_entry() == (True, None)
    seen, callback = recorder()
    sub = empty.subscribe(callback)
    empty.invalidate()
    assert seen[-1] == ("INVALIDATE", None)
    assert empty.status() == "sentinel"
    assert empty.cache_entry() == (False, None)


def test_pause_and_resume_take_str_lock_ids(graph):
    node = state(graph, 1)
    node.pause("lock-a")
    node.pause("")
    node.resume("lock-a")
    node.resume("")
    for method in (node.pause, node.resume):
        with pytest.raises(TypeError) as info:
            method(5)
        assert info.value.__notes__ == ["while processing 'lock_id'"]
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'lock_id'"):
            method()
    assert node.pause.__text_signature__ == "($self, lock_id)"
    assert node.set.__text_signature__ == "($self, value)"
    with pytest.raises(TypeError, match="takes no arguments"):
        node.invalidate(1)


@pytest.mark.parametrize("method", ["set", "send"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Node.{}() missing 1 required positional argument: 'value'"),
        ((1, 2), {}, "Node.{}() takes 1 positional arguments but 2 were given"),
        ((), {"valu": 1}, "Node.{}() got an unexpected keyword argument 'valu'"),
        ((1,), {"value": 2}, "Node.{}() got multiple values for argument 'value'"),
    ],
)
def test_set_and_send_match_their_value_as_every_method_does(graph, method, args, kwargs, message):
    node = state(graph, 1)
    with pytest.raises(TypeError) as info:
        getattr(node, method)(*args, **kwargs)
    assert str(info.value) == message.format(method)
    assert node.cache() == 1
    getattr(node, method)(value=2)
    assert node.cache() == 2


@pytest.mark.parametrize("times", [1, 2], ids=["once", "twice"])
def test_sets_in_a_batch_hold_one_reference_per_cached_value(graph, times):
    nodes = [state(graph, 0) for _ in range(8)]
    value = Marker()
    refs = sys.getrefcount(value)

    def sets(v):
        for node in nodes:
            for _ in range(times):
                node.set(v)

    # A batch before gives the thread's batch room, so that the sets of the
    # next are deferred without a wave.
    graph.batch(lambda: sets(1))
    graph.batch(lambda: sets(value))
    assert [node.cache() for node in nodes] == [value] * 8
    assert sys.getrefcount(value) == refs + 8
    graph.batch(lambda: sets(None))
    assert sys.getrefcount(value) == refs


def test_lookup_handles_refuse_the_mutating_operations(probe):
    handle = probe.make_node(7, lookup=True)
    calls = [
        ("set()", lambda: handle.set(1)),
        ("send()", lambda: handle.send(1)),
        ("pause()", lambda: handle.pause("a")),
        ("resume()", lambda: handle.resume("a")),
        ("invalidate()", handle.invalidate),
    ]
    for text, call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError
        assert str(info.value) == f"{text} is not available on graph lookup handles"
    assert handle.cache() == 7 and handle.status() == "settled"
    # subscribe is allowed and watches the found node.
    seen, callback = recorder()
    sub = handle.subscribe(callback)
    assert seen == [("START", None), ("DATA", 7)]


def test_pending_fatal_comes_before_the_refusal_and_the_operation(probe):
    handle = probe.make_node(1, lookup=True)
    node = state(probe, 1)
    stored = Fatal()
    probe.record(stored)
    with pytest.raises(Fatal) as info:
        handle.set(2)
    assert info.value is stored
    with pytest.raises(RuntimeError):
        handle.set(2)
    probe.record(Fatal())
    with pytest.raises(Fatal):
        node.set(2)
    assert node.cache() == 1
    node.set(3)
    assert node.cache() == 3


def test_subscriber_exceptions_are_printed_and_dropped(graph, capsys):
    node = state(graph, 1)
    seen, callback = recorder()

    def raising(kind, payload):
        if kind == "DATA":
            raise ValueError("bad subscriber")

    subs = [node.subscribe(raising), node.subscribe(callback)]
    node.set(2)
    assert seen[-1] == ("DATA", 2)
    err = capsys.readouterr().err
    assert err.count("ValueError: bad subscriber") == 2
    assert "Traceback" in err
    # A callable that cannot be called fails the same way.
    subs.append(node.subscribe(None))
    assert "TypeError: 'NoneType' object is not callable" in capsys.readouterr().err


def test_base_exception_from_a_subscriber_is_raised_by_the_operation(graph):
    node = state(graph, 1)
    stored = Fatal("stop")

    def fatal(kind, payload):
        if kind == "DATA" and payload == 2:
            raise stored

    sub = node.subscribe(fatal)
    with pytest.raises(Fatal) as info:
        node.set(2)
    assert info.value is stored
    assert graph.raise_pending_fatal() is None
    node.set(3)
    assert node.cache() == 3


# A message with None for payload takes a lighter road into the subscriber
# than one with a payload: both settle what the subscriber gives alike.
@pytest.mark.parametrize("kind", ["DIRTY", "DATA"])
@pytest.mark.parametrize("raised", [None, ValueError, Fatal])
def test_a_subscriber_settles_alike_with_or_without_a_payload(graph, capsys, kind, raised):
    node = state(graph, 1)
    seen, callback = recorder()
    returned = []
    armed = []

    def subscriber(got, payload):
        if got == kind and armed and raised is not None:
            armed.clear()
            raise raised("from subscriber")
        returned.append(Marker())
        return returned[-1]

    subs = [node.subscribe(subscriber), node.subscribe(callback)]
    alive = [weakref.ref(marker) for marker in returned]
    returned.clear()
    armed.append(True)
    if raised is Fatal:
        with pytest.raises(Fatal, match="^from subscriber$"):
            node.set(2)
        assert graph.raise_pending_fatal() is None
    else:
        assert node.set(2) is None
        assert seen == [("START", None), ("DATA", 1), ("DIRTY", None), ("DATA", 2)]
    assert capsys.readouterr().err.count("ValueError: from subscriber") == (raised is ValueError)
    # What the subscriber returned is dropped at once.
    assert [ref() for ref in alive] == [None] * len(alive)
    alive = [weakref.ref(marker) for marker in returned]
    returned.clear()
    assert [ref() for ref in alive] == [None] * len(alive)
    node.set(3)
    assert node.cache() == 3


def test_subscribe_interrupted_by_a_base_exception_leaves_no_sink(graph):
    node = state(graph, 1)
    calls = []

    def fatal(kind, payload):
        calls.append(kind)
        if kind == "DATA":
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        node.subscribe(fatal)
    assert calls == ["START", "DATA"]
    node.set(2)
    assert calls == ["START", "DATA"]
    assert graph.raise_pending_fatal() is None


def test_subscribe_undoes_itself_when_a_fatal_is_pending_afterwards(probe):
    node = state(probe, 1)
    other = state(probe, 1)
    stored = Fatal()
    calls = []

    def records_elsewhere(kind, payload):
        calls.append(kind)
        if kind == "DATA":
            probe.record(stored)

    with pytest.raises(Fatal) as info:
        node.subscribe(records_elsewhere)
    assert info.value is stored
    node.set(2)
    assert calls == ["START", "DATA"]
    assert other.cache() == 1


def test_unsubscribe_and_drop_detach(graph):
    node = state(graph, 1)
    seen, callback = recorder()
    sub = node.subscribe(callback)
    assert sub.unsubscribe() is None
    assert sub.unsubscribe() is None
    node.set(2)
    assert seen == [("START", None), ("DATA", 1)]
    seen2, callback2 = recorder()
    sub2 = node.subscribe(callback2)
    del sub2
    gc.collect()
    node.set(3)
    assert seen2 == [("START", None), ("DATA", 2)]


def test_unsubscribe_raises_a_pending_fatal_but_drop_only_reports_it(probe, unraisable):
    node = state(probe, 1)
    sub = node.subscribe(lambda k, p: None)
    stored = Fatal()
    probe.record(stored)
    with pytest.raises(Fatal) as info:
        sub.unsubscribe()
    assert info.value is stored
    sub2 = node.subscribe(lambda k, p: None)
    dropped = Fatal()
    probe.record(dropped)
    del sub2
    assert probe.raise_pending() is None
    assert [(u.exc_value, u.object.__name__) for u in unraisable] == [(dropped, "Subscription")]
    # A spent Subscription's drop does not touch the slot.
    sub3 = node.subscribe(lambda k, p: None)
    sub3.unsubscribe()
    kept = Fatal()
    probe.record(kept)
    del sub3
    with pytest.raises(Fatal) as info:
        probe.raise_pending()
    assert info.value is kept


def test_no_reference_leaks_over_many_cycles(graph):
    node = state(graph, None)
    value = Marker()
    callback_calls = []

    def callback(kind, payload):
        callback_calls.append(kind)

    def cycle():
        sub = node.subscribe(callback)
        node.set(value)
        node.send(value)
        node.pause("l")
        node.resume("l")
        node.invalidate()
        node.set(value)
        sub.unsubscribe()
        node.subscribe(callback)  # dropped at once
        node.set(None)
        callback_calls.clear()

    for _ in range(50):
        cycle()
    gc.collect()
    value_refs = sys.getrefcount(value)
    callback_refs = sys.getrefcount(callback)
    tracemalloc.start()
    try:
        for _ in range(200):
            cycle()
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            cycle()
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(value) == value_refs
    assert sys.getrefcount(callback) == callback_refs
    assert second - first < 64 * 1024


@pytest.mark.parametrize(
    "kind, make",
    [
        ("counted", lambda probe, value: probe.make_node_pair(value)[::-1]),
        ("uncounted", lambda probe, value: probe.make_node_pair(value)),
        ("lookup", lambda probe, value: (probe.make_node(value, lookup=True), None)),
        ("stale", lambda probe, value: (probe.make_stale_node(), None)),
    ],
    ids=["counted", "uncounted", "lookup", "stale"],
)
def test_a_dropped_node_gives_back_its_slot_share_and_only_the_unit_it_took(probe, kind, make):
    # The share, the lookup target and whether the name holds a unit are
    # kept in one word. The other Node keeps the core alive, so a node stays
    # only while a unit of its count is held.
    value = Marker()
    alive = weakref.ref(value)
    base = probe.shares
    node, other = make(probe, value)
    del value
    assert probe.shares == base + (1 if other is None else 2)
    if other is not None:  # each Node holds its node's core once
        assert probe.host_holds(other) == 2
    del node
    gc.collect()
    assert probe.shares == base + (0 if other is None else 1)
    if other is not None:
        assert probe.host_holds(other) == 1
    if kind != "stale":  # a stale Node's value never reached a node
        assert (alive() is not None) == (kind == "uncounted")
    if kind == "uncounted":
        assert other.cache() is alive()
    other = None
    gc.collect()
    assert alive() is None
    assert probe.shares == base


def test_a_stale_node_raises_runtime_error(probe):
    node = probe.make_stale_node()
    calls = [node.status, node.cache, node.cache_entry, lambda: node.set(1), lambda: node.send(1),
             lambda: node.pause("l"), lambda: node.resume("l"), node.invalidate,
             lambda: node.subscribe(lambda k, p: None)]
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError
        assert str(info.value) == "Core points at a stale or freed GraphCore slot"


def test_status_seen_from_inside_a_wave(graph):
    node = graph.state(1)
    statuses = []
    sub = node.subscribe(lambda kind, payload: statuses.append((kind, node.status())))
    node.set(2)
    node.invalidate()
    assert statuses == [
        ("START", "settled"),
        ("DATA", "settled"),
        ("DIRTY", "dirty"),
        ("DATA", "settled"),
        ("INVALIDATE", "sentinel"),
    ]
    sub.unsubscribe()


def test_operations_from_inside_a_subscriber(graph):
    source = graph.state(0)
    mirror = graph.state_empty()
    seen, callback = recorder()
    subs = [
        source.subscribe(lambda kind, payload: mirror.set(payload * 10) if kind == "DATA" else None),
        mirror.subscribe(callback),
    ]
    source.set(4)
    assert mirror.cache() == 40
    assert ("DATA", 40) in seen
    del subs


def test_nodes_and_subscriptions_are_bound_to_their_thread(graph, unraisable):
    from conftest import run_in_thread

    node = graph.state(1)
    sub = node.subscribe(lambda k, p: None)
    for call in (node.status, lambda: node.set(2), sub.unsubscribe):
        outcome = run_in_thread(call)
        raised = outcome["raised"]
        assert type(raised).__name__ == "PanicException"
        assert "is unsendable, but sent to another thread" in str(raised)
    assert str(run_in_thread(node.cache)["raised"]) == "_native::PyNode is unsendable, but sent to another thread"
    assert node.cache() == 1
    holder = [graph.state(3)]
    run_in_thread(holder.clear)
    assert any("_native::PyNode is unsendable, but is being dropped on another thread" in str(u.exc_value)
               for u in unraisable)


@pytest.mark.parametrize("dropped", [1, 40])  # fewer and more than the Nodes kept for reuse
def test_nodes_made_after_drops_are_whole_and_bound_to_their_maker(graph, unraisable, dropped):
    from conftest import run_in_thread

    for i in range(dropped):
        graph.state(i)
    made = [graph.state(("made", i)) for i in range(dropped)]
    assert all(type(n) is _native.Node and gc.is_tracked(n) for n in made)
    assert [n.cache() for n in made] == [("made", i) for i in range(dropped)]

    # A Node in a cycle through its own callback is still collected.
    marker, holder = Marker(), []
    holder.append(graph.derived(made, lambda *values: (holder, marker)))
    alive = weakref.ref(marker)
    del made, marker, holder
    gc.collect()
    assert alive() is None

    # Made on another thread from the memory of Nodes dropped on this one.
    for i in range(dropped):
        graph.state(i)
    node, seen_there = run_in_thread(lambda: (lambda n: (n, n.cache()))(_native.Graph().state(7)))["value"]
    assert seen_there == 7
    with pytest.raises(BaseException, match="_native::PyNode is unsendable, but sent to another thread") as refused:
        node.cache()
    # Dropped here, not on its thread: reported, not left to a later collection.
    del node, refused
    gc.collect()
    assert any("_native::PyNode is unsendable, but is being dropped on another thread" in str(u.exc_value)
               for u in unraisable)
