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
SETUP_NOT_LIVE = "^async ctx setup is only valid during activation$"
STALE = "^Core points at a stale or freed GraphCore slot$"


def subscribed(node):
    seen = []
    sub = node.subscribe(lambda kind, payload: seen.append((kind, payload)))
    return seen, sub


def kept_source(graph=None, **options):
    """A subscribed async source whose callback keeps its ctxs (and their
    arguments) in `calls`."""
    graph = graph or Graph()
    calls = []
    node = graph._async_source(lambda *args: calls.append(args), **options)
    seen, sub = subscribed(node)
    return node, calls, seen, sub


def test_a_source_runs_at_its_first_subscription_with_one_ctx():
    calls = []
    node = Graph()._async_source(lambda *args: calls.append(args) or "ignored")
    assert calls == []
    seen, sub = subscribed(node)
    assert len(calls) == 1 and len(calls[0]) == 1
    assert type(calls[0][0]).__name__ == "AsyncCtx" and calls[0][0].is_live()
    assert seen == [("START", None)]  # a returned value is not emitted


@pytest.mark.parametrize(
    "operate, delivered, status, cache",
    [
        (lambda ctx: ctx.emit(5), [("DIRTY", None), ("DATA", 5)], "settled", 5),
        (lambda ctx: ctx.resolve(5), [("DIRTY", None), ("DATA", 5), ("COMPLETE", None)], "completed", 5),
        (lambda ctx: ctx.complete(), [("COMPLETE", None)], "completed", None),
        (lambda ctx: ctx.error("boom"), [("ERROR", "boom")], "errored", None),
    ],
    ids=["emit", "resolve", "complete", "error"],
)
def test_outputs_after_the_callback_reach_subscribers_before_returning(operate, delivered, status, cache):
    node, calls, seen, sub = kept_source()
    ctx = calls[0][0]
    assert operate(ctx) is None
    assert seen == [("START", None)] + delivered
    assert (node.status(), node.cache()) == (status, cache)
    # Still live; once terminal, the node drops what comes later.
    assert ctx.emit(6) is None and ctx.is_live()
    assert seen[1:] == delivered + ([("DIRTY", None), ("DATA", 6)] if status == "settled" else [])


def test_an_async_node_gets_the_ctx_then_each_dep_value_on_every_run():
    graph = Graph()
    a, b = graph.state(1), graph.state("x")
    calls = []
    node = graph._async_node([a, b], lambda *args: calls.append(args))
    seen, sub = subscribed(node)
    a.set(2)
    assert [args[1:] for args in calls] == [(1, "x"), (2, "x")]
    # Each run is an activation of its own; the earlier ctx stays live.
    first, second = calls[0][0], calls[1][0]
    assert first is not second and first.is_live() and second.is_live()
    first.emit("late")
    assert seen == [("START", None), ("DIRTY", None), ("RESOLVED", None), ("DIRTY", None), ("DATA", "late")]


def test_a_raising_callback_ends_its_activation_and_errors_the_node():
    kept = []

    def callback(ctx, value):
        kept.append(ctx)
        ctx.on_deactivation(lambda: pytest.fail("a raising callback registers nothing"))
        raise ValueError("bad")

    graph = Graph()
    node = graph._async_node([graph.state(1)], callback)
    seen, sub = subscribed(node)
    assert seen == [("START", None), ("ERROR", "ValueError: bad")]
    ctx = kept[0]
    assert ctx.is_live() is False
    with pytest.raises(RuntimeError, match=NOT_LIVE):
        ctx.emit(1)
    with pytest.raises(RuntimeError, match=SETUP_NOT_LIVE):
        ctx.on_deactivation(print)
    sub.unsubscribe()


def test_a_callback_that_cannot_be_called_errors_the_node():
    graph = Graph()
    seen, sub = subscribed(graph._async_node([graph.state(1)], 42))
    assert seen == [("START", None), ("ERROR", "TypeError: 'int' object is not callable")]


def test_deactivation_callbacks_run_once_in_order_and_end_the_activation():
    log = []

    def callback(ctx):
        ctx.on_deactivation(lambda: log.append(("first", ctx.is_live())))
        ctx.on_deactivation(lambda: log.append(("second", ctx.is_live())))

    graph = Graph()
    hooked = graph._async_source(callback)
    plain, calls, _, plain_sub = kept_source(graph)
    seen, sub = subscribed(hooked)
    ctx = calls[0][0]
    sub.unsubscribe()
    plain_sub.unsubscribe()
    assert log == [("first", False), ("second", False)]
    assert calls[0][0].is_live()  # nothing registered: live after its deactivation
    del ctx
    seen, sub = subscribed(hooked)  # a new activation: registered again
    sub.unsubscribe()
    assert log[2:] == [("first", False), ("second", False)]


def test_a_late_deactivation_callback_is_accepted_but_never_registered():
    node, calls, seen, sub = kept_source()
    ctx = calls[0][0]
    assert ctx.on_deactivation(lambda: pytest.fail("registered late")) is None
    sub.unsubscribe()
    assert ctx.is_live()


def test_a_deactivation_callback_raising_errors_the_node():
    def callback(ctx):
        ctx.on_deactivation(lambda: 1 / 0)

    node = Graph()._async_source(callback)
    seen, sub = subscribed(node)
    sub.unsubscribe()
    assert node.status() == "errored"


def test_an_emit_inside_a_batch_joins_its_wave():
    graph = Graph()
    node, calls, seen, sub = kept_source(graph)
    during = []
    graph.batch(lambda: (calls[0][0].emit(1), during.extend(seen)))
    assert during == [("START", None), ("DIRTY", None)]
    assert seen == during + [("DATA", 1)]


def test_an_emit_from_inside_a_callback_of_another_node_delivers_at_once():
    graph = Graph()
    node, calls, seen, sub = kept_source(graph)
    trigger = graph.state_empty()
    during = []
    effect = graph.effect([trigger], lambda v: (calls[0][0].emit(v), during.extend(seen)))
    effect_sub = effect.subscribe(lambda kind, payload: None)
    trigger.set(4)
    assert during == seen == [("START", None), ("DIRTY", None), ("DATA", 4)]
    del effect_sub


def released_ctx(hooked):
    """A ctx kept after its graph, node and subscription are gone."""
    kept = []

    def callback(ctx):
        kept.append(ctx)
        if hooked:
            ctx.on_deactivation(lambda: None)

    graph = Graph()
    node = graph._async_source(callback)
    sub = node.subscribe(lambda kind, payload: None)
    del graph, node, sub
    gc.collect()
    return kept[0]


@pytest.mark.parametrize(
    "operate, error, text",
    [
        (lambda ctx: ctx.emit(1), RuntimeError, STALE),
        (lambda ctx: ctx.resolve(1), RuntimeError, STALE),
        (lambda ctx: ctx.complete(), RuntimeError, STALE),
        (lambda ctx: ctx.error("e"), RuntimeError, STALE),
        (lambda ctx: ctx.error(5), TypeError, "^'int' object is not an instance of 'str'"),
    ],
    ids=["emit", "resolve", "complete", "error", "error type"],
)
def test_a_ctx_kept_past_its_nodes_release_refuses(operate, error, text):
    ctx = released_ctx(hooked=False)
    assert ctx.is_live()
    with pytest.raises(error, match=text) as info:
        operate(ctx)
    if error is TypeError:
        assert info.value.__notes__ == ["while processing 'message'"]
    # Released with a deactivation callback, the activation ended instead.
    ctx = released_ctx(hooked=True)
    assert not ctx.is_live()
    with pytest.raises(RuntimeError, match=NOT_LIVE):
        ctx.emit(1)


def test_async_objects_refuse_other_threads():
    graph = Graph()
    node, calls, seen, sub = kept_source(graph)
    source, handle = graph._conformance_async_source()
    for call, name in [
        (lambda: calls[0][0].emit(1), "_native::PyAsyncCtx"),
        (calls[0][0].is_live, "_native::PyAsyncCtx"),
        (handle.has_pending, "_native::PyConformanceAsyncHandle"),
        (lambda: handle.resolve(1), "_native::PyConformanceAsyncHandle"),
    ]:
        raised = run_in_thread(call)["raised"]
        assert type(raised).__name__ == "PanicException"
        assert str(raised) == f"{name} is unsendable, but sent to another thread"
    assert seen == [("START", None)]


def test_methods_raise_a_stored_pending_fatal_first_and_once():
    graph = Graph()
    node, calls, seen, sub = kept_source(graph)
    ctx = calls[0][0]
    source, handle = graph._conformance_async_source()
    for method in [ctx.is_live, lambda: ctx.emit(1), lambda: ctx.error("e"), handle.has_pending,
                   lambda: handle.resolve(1), handle.invalidate_live_deps]:
        stored, fatal_sub = store_fatal(graph, graph.state(1))
        with pytest.raises(Fatal) as info:
            method()
        assert info.value is stored
        assert graph.raise_pending_fatal() is None
        del fatal_sub
    assert ctx.is_live() and seen == [("START", None)]


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

NO_RESOLVE = "^no pending conformance async ctx to resolve$"
NO_INVALIDATE = "^no pending conformance async ctx to invalidate$"


def test_a_new_handle_has_nothing_pending_and_refuses():
    node, handle = Graph()._conformance_async_source()
    assert type(handle).__name__ == "ConformanceAsyncHandle" and type(handle).__module__ == "_native"
    assert [(m, getattr(type(handle), m).__text_signature__) for m in vars(type(handle)) if not m.startswith("__")] == [
        ("has_pending", "($self)"), ("resolve", "($self, value)"), ("invalidate_live_deps", "($self)")]
    assert handle.has_pending() is False
    with pytest.raises(RuntimeError, match=NO_RESOLVE):
        handle.resolve(1)
    with pytest.raises(RuntimeError, match=NO_INVALIDATE):
        handle.invalidate_live_deps()


@pytest.mark.parametrize("value", [7, None])
def test_resolve_emits_the_captured_activation_once(value):
    node, handle = Graph()._conformance_async_source()
    seen, sub = subscribed(node)
    assert handle.has_pending() is True
    assert handle.resolve(value) is None
    assert seen == [("START", None), ("DIRTY", None), ("DATA", value)]
    assert (handle.has_pending(), node.cache_entry()) == (False, (True, value))
    with pytest.raises(RuntimeError, match=NO_RESOLVE):
        handle.resolve(value)


def test_only_the_latest_activation_is_pending():
    graph = Graph()
    dep = graph.state(1)
    node, handle = graph._conformance_async_node([dep])
    seen, sub = subscribed(node)
    dep.set(2)
    dep.set(3)
    handle.resolve("r")
    # The node resolves each dep change it does not answer.
    assert seen == [("START", None)] + [("DIRTY", None), ("RESOLVED", None)] * 2 + [("DIRTY", None), ("DATA", "r")]
    assert not handle.has_pending()


def test_invalidate_live_deps_sends_invalidate_upstream_once():
    graph = Graph()
    dep = graph.state(1)
    node, handle = graph._conformance_async_node([dep])
    dep_seen, dep_sub = subscribed(dep)
    seen, sub = subscribed(node)
    assert handle.invalidate_live_deps() is None
    assert dep_seen == [("START", None), ("DATA", 1), ("INVALIDATE", None)]
    assert dep.cache_entry() == (False, None) and not handle.has_pending()
    with pytest.raises(RuntimeError, match=NO_INVALIDATE):
        handle.invalidate_live_deps()


def test_a_captured_activation_of_a_released_node_refuses():
    graph = Graph()
    node, handle = graph._conformance_async_source()
    sub = node.subscribe(lambda kind, payload: None)
    del graph, node, sub
    gc.collect()
    assert handle.has_pending()
    with pytest.raises(RuntimeError, match=STALE):
        handle.resolve(1)
    assert not handle.has_pending()
