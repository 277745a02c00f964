"""A long loop of build, set, subscribe, checkpoint, restore and release
leaves nothing behind: neither Python objects nor native memory grow."""

import ctypes
import gc
import tracemalloc
import weakref

import pytest

from korvalinth import Graph, restore_graph, restore_registry
from conftest import run_in_thread
from restore_support import Entry, checkpoint, cp_node, scaled_callback
from test_wire_edge_group import edge_group_round


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    function.restype = _Mallinfo2
    return function


_MALLINFO2 = _mallinfo2()


def _malloc_in_use():
    """Bytes the C allocator has handed out and not taken back (glibc), else None."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def one_round(registry, i):
    graph = Graph("leak")
    count = graph.state(1, name="count")
    doubled = graph.node([count], scaled_callback(2), name="doubled", restore_ref="scaled",
                         restore_config={"factor": 2})
    seen = []
    sub = doubled.subscribe(lambda kind, payload: seen.append(payload))
    for v in range(10):
        count.set(v + i)
    graph.batch(lambda: [count.set(v) for v in (3, 4, 5)])
    assert doubled.cache() == 10
    sub.unsubscribe()

    checkpoint = graph.checkpoint()
    restored = restore_graph(checkpoint, registry)
    restored_sub = restored._find("doubled").subscribe(lambda kind, payload: seen.append(payload))
    restored._set_state_by_id("count", 21)
    assert restored._find("doubled").cache() == 42
    restored_sub.unsubscribe()

    # Value callbacks, and subscriptions dropped without unsubscribe.
    values = Graph("values")
    a = values.state(i)
    summed = values.derived([a, values.derived([a], lambda x: x * 2)], lambda x, y: x + y)
    kept = values.effect([summed], seen.append).subscribe(lambda kind, payload: None)
    a.set(i + 1)
    assert summed.cache() == 3 * (i + 1)
    del kept  # dropped, not unsubscribed


def _create_scaled(ctx):
    factor = ctx.config["factor"]
    ctx.register_node(lambda c: c.emit(c.data_entry(0)[1] * factor), factory="scaled")


def wire_round(i):
    """A bridge with its protobuf adapter and an ack driver, driven and released."""
    graph = Graph("wire")
    bridge = graph._wire_bridge("s")
    adapter = graph._wire_bridge_protobuf(bridge)
    clock = graph.state(i, name="clock")
    driver = graph._wire_bridge_ack_driver(bridge, clock, 5)
    seen = []
    subs = [node.subscribe(lambda kind, payload: seen.append(payload))
            for node in (driver.timeouts, driver.status, driver.issues, bridge.status)]
    for fact in (i + 1, i + 10, -1, True):
        clock.set(fact)
    driver._conformance_ack_timeout(i + 1, 1, i + 10)
    adapter.inbound_bytes.set(b"\x00")
    assert seen[-1]["errors"] == 1
    for sub in subs:
        sub.unsubscribe()
    driver.release()
    adapter.release()


def async_round(i):
    """Async nodes whose ctxs and handle outlive their graph."""
    graph = Graph("async")
    state = graph.state(i)
    kept = []

    def callback(ctx, value):
        kept.append(ctx)
        ctx.on_deactivation(lambda: kept.append(ctx.is_live()))

    node = graph._async_node([state], callback)
    source = graph._async_source(kept.append)
    pending, handle = graph._conformance_async_source()
    subs = [n.subscribe(lambda kind, payload: None) for n in (node, source, pending)]
    state.set(i + 1)
    kept[-1].emit(i)
    handle.resolve(i)
    subs[0].unsubscribe()
    pending.subscribe(lambda kind, payload: None)  # captured again, never resolved
    del graph, state, node, source, pending, subs
    for ctx in kept[:3]:
        with pytest.raises(RuntimeError):
            ctx.emit(i)
    with pytest.raises(RuntimeError):
        handle.resolve(i)


def _measure(rounds, round_fn, start):
    for i in range(rounds):
        round_fn(start + i)
    gc.collect()
    return tracemalloc.get_traced_memory()[0], _malloc_in_use()


def _assert_flat(round_fn, rounds=150):
    tracemalloc.start()
    try:
        # Warm-up: caches, free lists and spare buffers reach their size.
        _measure(2 * rounds, round_fn, 0)
        samples = [_measure(rounds, round_fn, (2 + k) * rounds) for k in range(4)]
    finally:
        tracemalloc.stop()
    # Caches still move a little from window to window; a leak grows in
    # every one. Less than 16 bytes a round: one object kept per round shows.
    traced = [b[0] - a[0] for a, b in zip(samples, samples[1:])]
    assert min(traced) < 16 * rounds, traced
    if samples[0][1] is not None:
        native = [b[1] - a[1] for a, b in zip(samples, samples[1:])]
        assert min(native) < 16 * rounds, native


@pytest.mark.skipif(not hasattr(ctypes, "CDLL"), reason="needs ctypes")
def test_a_long_loop_of_graph_work_does_not_grow():
    registry = restore_registry([Entry("scaled", _create_scaled)])
    _assert_flat(lambda i: one_round(registry, i))


# 1,020 builds and releases in all.
@pytest.mark.skipif(not hasattr(ctypes, "CDLL"), reason="needs ctypes")
def test_a_long_loop_of_wire_adapters_does_not_grow():
    _assert_flat(wire_round, rounds=170)


# Two graphs exchanging over edge groups: 1,020 builds and releases.
@pytest.mark.skipif(not hasattr(ctypes, "CDLL"), reason="needs ctypes")
def test_a_long_loop_of_wire_edge_groups_does_not_grow():
    _assert_flat(edge_group_round, rounds=170)


@pytest.mark.skipif(not hasattr(ctypes, "CDLL"), reason="needs ctypes")
def test_a_long_loop_of_async_nodes_kept_past_their_graph_does_not_grow():
    _assert_flat(async_round)


class _Marker:
    pass


def _graph_closure(marker):
    graph = Graph()
    s = graph.state(1)
    graph.derived([s], lambda x: (graph, marker, x)[2]).subscribe(lambda kind, payload: None)
    graph.node([s], lambda ctx: (graph, marker))
    graph.effect([s], lambda x: (graph, marker))
    graph.producer(lambda: (graph, marker))


def _node_closure(marker):
    graph = Graph()
    d = graph.derived([graph.state(1)], lambda x: (d, marker, x)[2])
    d.subscribe(lambda kind, payload: None)


def _subscription_closure(marker):
    sub = None
    sub = Graph().state(1).subscribe(lambda kind, payload: (sub, marker))


@pytest.mark.parametrize("build", [_graph_closure, _node_closure, _subscription_closure])
def test_a_graph_referenced_by_its_own_callback_is_collected(build):
    marker = _Marker()
    gone = weakref.ref(marker)
    build(marker)
    del marker
    gc.collect()
    assert gone() is None


def _graph_closure_kept_by_nodes(marker):
    graph = Graph()
    return graph.state(1), graph.derived([graph.state(10)], lambda x: (graph, marker, x)[2])


def test_a_callback_reachable_through_a_live_node_survives_collection():
    marker = _Marker()
    gone = weakref.ref(marker)
    s, d = _graph_closure_kept_by_nodes(marker)
    del marker
    gc.collect()
    # Collected while a wave runs on the graph too: the wave's pins hold its core.
    sub = d.subscribe(lambda kind, payload: gc.collect())
    assert (gone() is not None, d.cache()) == (True, 10)
    del sub, s, d
    gc.collect()
    assert gone() is None


# ---- cycles through several of the module's objects ----
#
# Each shape builds a graph whose objects refer to each other only through
# callbacks and values the graph keeps, and hands every weak-referenceable
# object of the cycle to `track`; once the shape returns, nothing outside
# refers to any of them. After a collection they must all be gone: the
# callbacks, and with them the graph and nodes that hold them.


def _callback_over_graph_and_node(track):
    graph = Graph()
    s = graph.state(1)
    keep = []
    d = graph.derived([s], track(lambda x: (graph, s, keep, x)[3]))
    keep.append(d.subscribe(track(lambda kind, payload: None)))


def _two_subscriptions(track):
    s = Graph().state(1)
    subs = []
    subs.append(s.subscribe(track(lambda kind, payload: subs)))
    subs.append(s.subscribe(track(lambda kind, payload: subs)))


def _sink_over_a_subscription_of_another_node(track):
    graph = Graph()
    other = []
    other.append(graph.state(2).subscribe(track(lambda kind, payload: None)))
    other.append(graph.state(1).subscribe(track(lambda kind, payload: other)))


def _state_holding_its_graph(track):
    graph = Graph()
    graph.state(None).set((graph, track(_Marker())))


def _state_holding_its_own_node(track):
    s = Graph().state(None)
    s.set((s, track(_Marker())))


def _ctx_state_holding_its_graph(track):
    graph = Graph()
    marker = track(_Marker())
    keep = []
    n = graph.node([graph.state(1)], track(lambda ctx: ctx.set_state((graph, marker))))
    keep.append(n.subscribe(track(lambda kind, payload: keep)))


def _observer_over_its_graph(track):
    graph = Graph()
    graph.state(1)
    keep = []
    keep.append(graph.observe(track(lambda *message: (graph, keep))))


def _ctx_kept_past_its_callback(track):
    graph = Graph()
    kept = []
    n = graph.node([graph.state(1)], track(lambda ctx: kept.append(ctx)))
    kept.append(n.subscribe(track(lambda kind, payload: None)))


def _invalidate_hook_over_its_graph(track):
    graph = Graph()
    keep = []
    n = graph.node([graph.state(1)], track(lambda ctx: ctx.on_invalidate(track(lambda: (graph, keep)))))
    keep.append(n.subscribe(track(lambda kind, payload: None)))


def _async_ctx_kept_with_its_graph(track):
    graph = Graph()
    kept = []
    n = graph._async_node([graph.state(1)], track(lambda ctx, value: kept.append((ctx, graph))))
    kept.append(n.subscribe(track(lambda kind, payload: None)))


def _conformance_handle_in_a_sink(track):
    graph = Graph()
    n, handle = graph._conformance_async_node([graph.state(1)])
    keep = []
    keep.append(n.subscribe(track(lambda kind, payload: (graph, handle, keep))))


def _lookup_handle_in_a_callback(track):
    graph = Graph()
    graph.state(1, name="s")
    found = graph._find("s")
    keep = []
    keep.append(found.subscribe(track(lambda kind, payload: (found, graph, keep))))


def _sink_on_a_wire_adapters_node(track):
    graph = Graph()
    status = graph._wire_bridge("s").status
    keep = []
    keep.append(status.subscribe(track(lambda kind, payload: (graph, status, keep))))


def _sink_over_a_wire_bridge(track):
    graph = Graph()
    bridge = graph._wire_bridge("s")
    keep = []
    keep.append(bridge.status.subscribe(track(lambda kind, payload: (graph, bridge, keep))))


def _sink_over_protobuf_adapter_and_ack_driver(track):
    graph = Graph()
    bridge = graph._wire_bridge("s")
    adapter = graph._wire_bridge_protobuf(bridge)
    driver = graph._wire_bridge_ack_driver(bridge, graph.state(0), 5)
    keep = []
    keep.append(adapter.status.subscribe(track(lambda kind, payload: (graph, adapter, driver, keep))))


def _sink_over_a_released_edge_group(track):
    # An edge group keeps its graph alive until it is released, with or
    # without a cycle; released, it no longer does.
    graph = Graph()
    bridge = graph._wire_bridge("s")
    group = graph._wire_edge_group(bridge, ["e"])
    group.release()
    keep = []
    keep.append(bridge.status.subscribe(track(lambda kind, payload: (graph, group, keep))))


def _registry_entry_over_its_registry(track):
    registry = None
    registry = restore_registry([Entry("r", track(lambda ctx: registry))])


def _restore_context_in_its_own_config(track):
    def create(ctx):
        ctx.config.update(self=ctx, marker=track(_Marker()))
        ctx.register_state()

    restore_graph(checkpoint([cp_node("n", ref="kept", config={})]), restore_registry([Entry("kept", create)]))


def _restored_graph_in_its_callback(track):
    holder = []

    def create(ctx):
        ctx.register_node(track(lambda c: holder))

    registry = restore_registry([Entry("computed", track(create))])
    restored = restore_graph(checkpoint([cp_node("a", ref="state", value=(1,)), cp_node("b", ref="computed",
                                                                                         deps=["a"])]), registry)
    holder.append((restored, restored._find("b").subscribe(track(lambda kind, payload: holder))))


CYCLES = [
    _callback_over_graph_and_node,
    _two_subscriptions,
    _sink_over_a_subscription_of_another_node,
    _state_holding_its_graph,
    _state_holding_its_own_node,
    _ctx_state_holding_its_graph,
    _observer_over_its_graph,
    _ctx_kept_past_its_callback,
    _invalidate_hook_over_its_graph,
    _async_ctx_kept_with_its_graph,
    _conformance_handle_in_a_sink,
    _lookup_handle_in_a_callback,
    _sink_on_a_wire_adapters_node,
    _sink_over_a_wire_bridge,
    _sink_over_protobuf_adapter_and_ack_driver,
    _sink_over_a_released_edge_group,
    _registry_entry_over_its_registry,
    _restore_context_in_its_own_config,
    _restored_graph_in_its_callback,
]


def _build_tracked(shape):
    refs = []

    def track(obj):
        refs.append(weakref.ref(obj))
        return obj

    shape(track)
    return refs


@pytest.mark.parametrize("shape", CYCLES)
def test_a_cycle_through_several_objects_is_collected(shape):
    refs = _build_tracked(shape)
    gc.collect()
    assert [ref() for ref in refs] == [None] * len(refs)


def _graph_with_every_holder():
    """One graph in one cycle; every object that could be kept, by kind."""
    graph = Graph()
    s = graph.state(1, name="s")
    marker = _Marker()
    seen, ctxs = [], []

    def compute(ctx):
        ctxs.append(ctx)
        ctx.emit((graph, marker, ctx.data_entry(0)[1])[2] * 10)

    d = graph.node([s], compute, name="d")
    subs = [d.subscribe(lambda kind, payload: seen.append((kind, payload, subs)[:2]))]
    holders = {"graph": graph, "state": s, "node": d, "subscription": subs[0], "ctx": ctxs[0],
               "lookup": graph._find("d")}
    return holders, weakref.ref(marker), seen


DRIVE = {"graph": lambda graph: graph._set_state_by_id("s", 2), "state": lambda s: s.set(2)}


@pytest.mark.parametrize("holder", ["graph", "state", "node", "subscription", "ctx", "lookup"])
def test_one_object_kept_keeps_its_cycle_whole(holder):
    holders, marker, seen = _graph_with_every_holder()
    kept = holders[holder]
    del holders
    gc.collect()
    assert marker() is not None
    if holder in DRIVE:
        DRIVE[holder](kept)
        assert seen[-1] == ("DATA", 20)
    del kept
    gc.collect()
    assert marker() is None


def test_a_wave_on_a_graph_that_only_its_cycle_keeps_is_not_collected_under_it():
    # An AsyncCtx names its node weakly: its emit runs a wave on a graph that
    # nothing but its own cycle keeps. Collections inside that wave leave the
    # graph whole; the one after it frees it, and the ctx is then refused.
    ctxs, seen = [], []

    def build():
        graph = Graph()
        n = graph._async_node([graph.state(1)], lambda ctx, value: ctxs.append(ctx))
        marker, subs = _Marker(), []
        subs.append(n.subscribe(lambda kind, payload: (gc.collect(), seen.append((kind, payload)), graph, marker,
                                                       subs)))
        return weakref.ref(marker)

    gc.disable()
    try:
        marker = build()
        ctxs[0].emit(5)
    finally:
        gc.enable()
    assert seen[-1] == ("DATA", 5) and marker() is not None
    gc.collect()
    assert marker() is None
    with pytest.raises(RuntimeError, match="stale or freed"):
        ctxs[0].emit(6)


def test_a_kept_wire_adapter_keeps_its_cycle_whole():
    def build():
        graph = Graph()
        bridge = graph._wire_bridge("s")
        adapter = graph._wire_bridge_protobuf(bridge)
        marker, seen, keep = _Marker(), [], []
        keep.append(adapter.status.subscribe(lambda kind, payload: (seen.append(kind), graph, bridge, marker, keep)))
        return adapter, seen, weakref.ref(marker)

    adapter, seen, marker = build()
    gc.collect()
    before = len(seen)
    adapter.inbound_bytes.set(b"\x00")
    assert len(seen) > before and marker() is not None
    del adapter
    gc.collect()
    assert marker() is None


# Collected cycles give their native memory back too: 1,020 rounds of
# every shape.
@pytest.mark.skipif(not hasattr(ctypes, "CDLL"), reason="needs ctypes")
def test_a_long_loop_of_collected_cycles_does_not_grow():
    _assert_flat(lambda i: [shape(lambda obj: obj) for shape in CYCLES], rounds=170)


def _deactivation_hook_on_ctx(graph, hook):
    def compute(ctx):
        ctx.on_deactivation(hook)
        ctx.emit(1)

    return graph.node([graph.state(1)], compute), compute


def _deactivation_hook_on_async_ctx(graph, hook):
    def compute(ctx, value):
        ctx.on_deactivation(hook)

    return graph._async_node([graph.state(1)], compute), compute


@pytest.mark.parametrize("node_with_hook", [_deactivation_hook_on_ctx, _deactivation_hook_on_async_ctx])
def test_a_cycle_through_a_deactivation_hook_is_collected_and_the_hook_runs_whole(node_with_hook):
    # The hook runs in the teardown of the cycle it closes, which the
    # collector runs before it clears any object of the cycle.
    ran = []

    def build():
        graph, keep = Graph(), []
        node, compute = node_with_hook(graph, lambda: ran.append((type(graph).__name__, len(keep))))
        keep.append(node.subscribe(lambda kind, payload: keep))
        return weakref.ref(compute)

    compute = build()
    gc.collect()
    assert (compute(), ran) == (None, [("Graph", 1)])


# ---- Python code that the teardown of a collected cycle runs ----
#
# A hook that the teardown runs may start a wave on the collected graph,
# through an AsyncCtx or a ConformanceAsyncHandle kept outside the cycle
# (`reach`), or a live graph's hook may. Every callback of the cycle is
# still whole then; the one made before the graph (which the collector
# meets first) records whether its cell was found cleared.

_CLEARED_CELLS = []


def _callback_made_first():
    seen = []

    def callback(*args):
        try:
            seen.append(args)
        except NameError:
            _CLEARED_CELLS.append(args)

    return callback


def _drive(reach, ran):
    ran.append("hook")
    try:
        reach[0]()
    except RuntimeError:  # the graph's node may be released already
        pass


def _node_with_hook(graph, hook):
    def compute(ctx):
        ctx.on_deactivation(hook)
        ctx.emit(1)

    return graph.node([graph.state(1)], compute)


def _own_hook_emits_to_a_sink(callback, reach, ran, live):
    graph = Graph()
    a = graph._async_node([graph.state(1)], lambda ctx, value: reach.append(lambda: ctx.emit(42)))
    later = [a.subscribe(callback)]
    later.append(_node_with_hook(graph, lambda: _drive(reach, ran)).subscribe(lambda kind, payload: (later, graph)))


def _own_hook_resolves_into_a_node_function(callback, reach, ran, live):
    graph = Graph()
    a, handle = graph._conformance_async_node([graph.state(1)])
    reach.append(lambda: handle.resolve(42))
    later = [graph.derived([a], callback).subscribe(lambda kind, payload: None)]
    later.append(_node_with_hook(graph, lambda: _drive(reach, ran)).subscribe(lambda kind, payload: (later, graph)))


def _live_graphs_hook_completes_it(callback, reach, ran, live):
    # The cycle holds the only Subscription to the live graph's node.
    graph = Graph()
    a = graph._async_node([graph.state(1)], lambda ctx, value: reach.append(ctx.complete))
    later = [graph, a.subscribe(callback)]
    later.append(a.subscribe(lambda kind, payload: later))
    later.append(_node_with_hook(live, lambda: _drive(reach, ran)).subscribe(lambda kind, payload: None))


@pytest.mark.parametrize("shape", [_own_hook_emits_to_a_sink, _own_hook_resolves_into_a_node_function,
                                   _live_graphs_hook_completes_it])
def test_python_that_a_collected_cycles_teardown_runs_finds_the_cycle_whole(shape):
    live, reach, ran = Graph(), [], []
    gc.disable()
    try:
        callback = _callback_made_first()
        gone = weakref.ref(callback)
        shape(callback, reach, ran, live)
        del callback
        gc.collect()
    finally:
        gc.enable()
    assert (ran, _CLEARED_CELLS, gone()) == (["hook"], [], None)


def _dropped_there(box):
    box.pop()


def _collected_there(box):
    box[0].append(box[0])
    box.pop()
    gc.collect()


@pytest.mark.parametrize("let_go", [_dropped_there, _collected_there])
def test_a_wire_adapter_let_go_on_another_thread_is_left_whole(let_go, unraisable):
    # Left whole (leaked), it keeps its graph from the collector and its
    # native parts stay readable for the graph's later collections.
    graph = Graph()
    adapter = graph._wire_bridge_protobuf(graph._wire_bridge("s"))
    status, seen = adapter.status, []
    box = [[adapter]]
    del adapter
    run_in_thread(lambda: let_go(box))
    gc.collect()
    status.subscribe(lambda kind, payload: seen.append(kind))
    gc.collect()
    assert seen == ["START"]
    assert any("is unsendable, but is being dropped on another thread" in str(u.exc_value) for u in unraisable)
