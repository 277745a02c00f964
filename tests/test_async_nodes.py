"""Async nodes and sources: their callback gets an AsyncCtx that emits,
resolves, completes and fails from the node after the callback returned,
for as long as its activation is live; and the conformance variants, whose
activation a ConformanceAsyncHandle resolves or invalidates from outside."""

import gc

import pytest

from conftest import run_in_thread
from korvalinth._native import Graph
from test_pending_fatal import Fatal, store_fatal

NOT_LIVE = "^async ctx is no longer live for this activation$"
STALE = "^Core points at a stale or freed GraphCore slot$"
START, DIRTY = ("START", None), ("DIRTY", None)


def subscribed(node):
    seen = []
    return seen, node.subscribe(lambda kind, payload: seen.append((kind, payload)))


def kept_source(graph=None, hooks=()):
    """A subscribed async source whose callback keeps its arguments in
    `calls` and registers `hooks` for deactivation."""
    graph = graph or Graph()
    calls = []
    node = graph._async_source(lambda *args: (calls.append(args), [args[0].on_deactivation(h) for h in hooks]))
    seen, sub = subscribed(node)
    return node, calls, seen, sub


@pytest.mark.parametrize(
    "operate, delivered, status, cache",
    [
        (lambda ctx: ctx.emit(5), [DIRTY, ("DATA", 5)], "settled", 5),
        (lambda ctx: ctx.resolve(5), [DIRTY, ("DATA", 5), ("COMPLETE", None)], "completed", 5),
        (lambda ctx: ctx.complete(), [("COMPLETE", None)], "completed", None),
        (lambda ctx: ctx.error("boom"), [("ERROR", "boom")], "errored", None),
    ],
    ids=["emit", "resolve", "complete", "error"],
)
def test_outputs_after_the_callback_reach_subscribers_before_returning(operate, delivered, status, cache):
    node, calls, seen, sub = kept_source()
    assert [type(arg).__name__ for arg in calls[0]] == ["AsyncCtx"] and seen == [START]  # returns nothing
    ctx = calls[0][0]
    assert operate(ctx) is None and seen == [START] + delivered
    assert (node.status(), node.cache()) == (status, cache)
    # Still live; once terminal, the node drops what comes later.
    assert ctx.emit(6) is None and ctx.is_live()
    assert seen[1:] == delivered + ([DIRTY, ("DATA", 6)] if status == "settled" else [])


def test_an_async_node_gets_the_ctx_then_each_dep_value_on_every_run():
    graph = Graph()
    a, b = graph.state(1), graph.state("x")
    calls = []
    seen, sub = subscribed(graph._async_node([a, b], lambda *args: calls.append(args)))
    a.set(2)
    assert [args[1:] for args in calls] == [(1, "x"), (2, "x")]
    # Each run is an activation of its own; the earlier ctx stays live.
    calls[0][0].emit("late")
    assert calls[1][0].is_live() and seen == [START, DIRTY, ("RESOLVED", None), DIRTY, ("DATA", "late")]


@pytest.mark.parametrize("raises, text", [(True, "ValueError: bad"), (False, "TypeError: 'int' object is not callable")])
def test_a_raising_callback_ends_its_activation_and_errors_the_node(raises, text):
    kept = []

    def callback(ctx, value):
        kept.append(ctx)
        ctx.on_deactivation(lambda: pytest.fail("a raising callback registers nothing"))
        raise ValueError("bad")

    graph = Graph()
    seen, sub = subscribed(graph._async_node([graph.state(1)], callback if raises else 42))
    assert seen == [START, ("ERROR", text)]
    for ctx in kept:
        assert ctx.is_live() is False
        with pytest.raises(RuntimeError, match=NOT_LIVE):
            ctx.emit(1)
        with pytest.raises(RuntimeError, match="^async ctx setup is only valid during activation$"):
            ctx.on_deactivation(print)


def test_deactivation_callbacks_run_once_in_order_and_end_the_activation():
    log = []
    graph = Graph()
    hooked, calls, seen, sub = kept_source(graph, [lambda: log.append("first"), lambda: log.append("second")])
    plain, plain_calls, _, plain_sub = kept_source(graph)
    ctx = calls[0][0]
    # Registered after the callback returned: accepted, never registered.
    ctx.on_deactivation(lambda: pytest.fail("registered late"))
    sub.unsubscribe(), plain_sub.unsubscribe()
    assert log == ["first", "second"] and not ctx.is_live()
    assert plain_calls[0][0].is_live()  # nothing registered: live after its deactivation
    node, calls, seen, sub = kept_source(graph, [lambda: 1 / 0])
    sub.unsubscribe()
    assert node.status() == "errored"


def test_emits_within_a_running_wave_join_it():
    graph = Graph()
    node, calls, seen, sub = kept_source(graph)
    during = []
    graph.batch(lambda: (calls[0][0].emit(1), during.extend(seen)))  # held until the batch ends
    trigger = graph.state_empty()
    effect = graph.effect([trigger], lambda v: (calls[0][0].emit(v), during.extend(seen[3:])))
    effect_sub = effect.subscribe(lambda kind, payload: None)
    trigger.set(4)  # delivered before the effect's callback returns
    assert during == [START, DIRTY, DIRTY, ("DATA", 4)]
    assert seen == [START, DIRTY, ("DATA", 1), DIRTY, ("DATA", 4)]


def released(hooks, pinned=False):
    """A ctx and a handle with a captured activation, kept after their graph,
    nodes and subscriptions are gone; `pinned`: touched first in the open
    batch, which keeps the nodes until it ends."""
    graph = Graph()
    node, calls, seen, sub = kept_source(graph, hooks)
    source, handle = graph._conformance_async_source()
    source_sub = source.subscribe(lambda kind, payload: None)
    if pinned:
        node._conformance_c22_down_data(0), source._conformance_c22_down_data(0)
    del graph, node, sub, source, source_sub
    gc.collect()
    return calls[0][0], handle


@pytest.mark.parametrize(
    "operate",
    [lambda c, h: c.emit(1), lambda c, h: c.resolve(1), lambda c, h: c.complete(), lambda c, h: c.error("e"),
     lambda c, h: h.resolve(1), lambda c, h: h.invalidate_live_deps()],
    ids=["emit", "resolve", "complete", "error", "handle.resolve", "handle.invalidate_live_deps"],
)
def test_ctxs_and_handles_kept_past_their_nodes_release_refuse(operate):
    ctx, handle = released(hooks=())
    assert ctx.is_live() and handle.has_pending()
    with pytest.raises(RuntimeError, match=STALE):
        operate(ctx, handle)
    ctx, handle = released(hooks=[lambda: None])  # the release ran the hook
    with pytest.raises(RuntimeError, match=NOT_LIVE):
        ctx.emit(1)
    # Released while a batch still pins the node: the delivery goes to the
    # dying node and is dropped with it, without a fault.
    outcome = []
    Graph().batch(lambda: outcome.append(operate(*released(hooks=(), pinned=True))))
    assert outcome == [None]


def test_argument_threads_and_a_stored_pending_fatal_are_refused_first():
    graph = Graph()
    node, calls, seen, sub = kept_source(graph)
    ctx = calls[0][0]
    source, handle = graph._conformance_async_source()
    with pytest.raises(TypeError) as info:
        ctx.error(5)
    assert info.value.__notes__ == ["while processing 'message'"]
    for call, name in [(ctx.is_live, "AsyncCtx"), (handle.has_pending, "ConformanceAsyncHandle")]:
        raised = run_in_thread(call)["raised"]
        assert str(raised) == f"_native::Py{name} is unsendable, but sent to another thread"
    for method in [ctx.is_live, lambda: ctx.emit(1), handle.has_pending, lambda: handle.resolve(1),
                   handle.invalidate_live_deps]:
        stored, fatal_sub = store_fatal(graph, graph.state(1))
        with pytest.raises(Fatal) as info:
            method()
        assert info.value is stored and graph.raise_pending_fatal() is None
    assert ctx.is_live() and seen == [START]


@pytest.mark.parametrize(
    "kind, build",
    [
        ("node", lambda g, dep, **kw: g._async_node([dep], lambda *a: None, **kw)),
        ("producer", lambda g, dep, **kw: g._async_source(lambda *a: None, **kw)),
        ("node", lambda g, dep, **kw: g._conformance_async_node([dep], **kw)[0]),
        ("producer", lambda g, dep, **kw: g._conformance_async_source(**kw)[0]),
    ],
    ids=["_async_node", "_async_source", "_conformance_async_node", "_conformance_async_source"],
)
def test_builders_name_and_refuse_like_other_node_builders(kind, build):
    graph = Graph()
    dep = graph.state(1, name="dep")
    assert build(graph, dep, pausable="resumeAll").status() == "sentinel"  # nothing runs yet
    build(graph, dep, name="x", pausable="false")
    assert [n["id"] for n in graph.describe()["nodes"]] == ["dep", f"{kind}#0", "x"]
    with pytest.raises(RuntimeError, match="^duplicate graph node id 'x'$"):
        build(graph, dep, name="x")
    with pytest.raises(ValueError, match="^pausable must be true, 'resumeAll', or false$"):
        build(graph, dep, pausable="bogus")
    for wrong in ("name", "pausable"):
        with pytest.raises(TypeError) as info:
            build(graph, dep, **{wrong: True})
        assert info.value.__notes__ == [f"while processing '{wrong}'"]
    if kind == "node":
        with pytest.raises(RuntimeError, match="^y dep belongs to a different graph; cross-graph deps require a "):
            build(graph, Graph().state(1), name="y")


# ---- conformance async nodes ----


@pytest.mark.parametrize("value", [7, None])
def test_resolve_emits_the_latest_captured_activation_once(value):
    graph = Graph()
    dep = graph.state(1)
    node, handle = graph._conformance_async_node([dep])
    assert [m for m in vars(type(handle)) if not m.startswith("__")] == ["has_pending", "resolve",
                                                                         "invalidate_live_deps"]
    assert handle.has_pending() is False
    seen, sub = subscribed(node)
    dep.set(2)  # replaces the first activation
    assert handle.has_pending() is True and handle.resolve(value) is None
    assert seen == [START, DIRTY, ("RESOLVED", None), DIRTY, ("DATA", value)]
    assert (handle.has_pending(), node.cache_entry()) == (False, (True, value))
    with pytest.raises(RuntimeError, match="^no pending conformance async ctx to resolve$"):
        handle.resolve(value)


def test_invalidate_live_deps_sends_invalidate_upstream_once():
    graph = Graph()
    dep = graph.state(1)
    node, handle = graph._conformance_async_node([dep])
    dep_seen, dep_sub = subscribed(dep)
    seen, sub = subscribed(node)
    assert handle.invalidate_live_deps() is None
    assert dep_seen == [START, ("DATA", 1), ("INVALIDATE", None)] and dep.cache_entry() == (False, None)
    with pytest.raises(RuntimeError, match="^no pending conformance async ctx to invalidate$"):
        handle.invalidate_live_deps()
