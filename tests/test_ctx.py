"""Ctx: the reads of a run's inputs, the queued requests and their
application after the callback, and the refusal of a Ctx kept past its
callback."""

import gc
import weakref

import pytest

from korvalinth import _native
from korvalinth._native import Graph

CTX_INVALID = "^ctx is only valid during its Python node callback$"


def recorder():
    seen = []
    return seen, lambda kind, payload: seen.append((kind, payload))


# Subscriptions kept for the length of one test.
_alive = []


@pytest.fixture(autouse=True)
def _release_subscriptions():
    yield
    _alive.clear()


def run_once(graph, deps, callback, **options):
    """A node over deps with callback, subscribed (for the rest of the test)
    so that it runs."""
    node = graph.node(deps, callback, **options)
    seen, sink = recorder()
    sub = node.subscribe(sink)
    _alive.append(sub)
    return node, sub, seen


class Hook:
    """A callable that counts its calls; weakly referenceable."""

    def __init__(self, log=None, name=None):
        self.calls = 0
        self.log = log
        self.name = name

    def __call__(self):
        self.calls += 1
        if self.log is not None:
            self.log.append(self.name)


def test_reads_of_the_run_inputs():
    graph = Graph()
    a = graph.state(1, name="a")
    b = graph.state_empty(name="b")
    reads = []

    def callback(ctx):
        reads.append(
            (
                ctx.dep_len(),
                ctx.data_entry(0),
                ctx.data_entry(1),
                ctx.terminal(0),
                ctx.state_entry(),
                ctx._pull_context(),
            )
        )

    run_once(graph, [a, b], callback, partial=True)
    assert reads == [(2, (True, 1), (False, None), False, (False, None), None)]


def test_data_entry_gives_the_very_object_and_none_as_a_value():
    graph = Graph()
    value = object()
    a = graph.state(value)
    n = graph.state(None)
    got = []
    run_once(graph, [a, n], lambda ctx: got.append((ctx.data_entry(0)[1], ctx.data_entry(1))))
    assert got[0][0] is value and got[0][1] == (True, None)


def test_index_checks():
    graph = Graph()
    a = graph.state(1)
    errors = []

    def callback(ctx):
        for call in (lambda: ctx.terminal(1), lambda: ctx.data_entry(1), lambda: ctx.terminal(-1),
                     lambda: ctx.data_entry("0")):
            try:
                call()
            except Exception as e:
                errors.append(e)

    run_once(graph, [a], callback)
    index_terminal, index_data, negative, text = errors
    assert type(index_terminal) is IndexError and str(index_terminal) == "dependency index out of range"
    assert type(index_data) is IndexError and str(index_data) == "dependency index out of range"
    assert type(negative) is OverflowError and negative.__notes__ == ["while processing 'index'"]
    assert type(text) is TypeError and text.__notes__ == ["while processing 'index'"]


def test_terminal_reports_completed_and_errored_deps():
    graph = Graph()
    a = graph.state(1)
    done = graph.node([a], lambda ctx: ctx._conformance_down_complete())
    failed = graph.derived([a], lambda value: 1 / 0)
    terminals = []

    def callback(ctx):
        terminals.append((ctx.terminal(0), ctx.terminal(1)))

    run_once(graph, [done, failed], callback, partial=True, complete_when_deps_complete=False,
             error_when_deps_error=False, terminal_as_real_input=True)
    # Each dep's terminal is handed to one run.
    assert terminals == [(True, False), (False, "ZeroDivisionError: division by zero")]


def test_wave_data_lists_each_deps_deliveries_with_the_sentinel_object():
    graph = Graph()
    a = graph.state(1)
    b = graph.state_empty()
    sentinel = object()
    waves = []
    run_once(graph, [a, b], lambda ctx: waves.append(ctx.wave_data(sentinel)), partial=True)
    assert waves == [[[[1]], []]]
    a.set(2)
    assert waves[-1] == [[[2]], []]


def test_wave_data_of_a_dep_that_only_resolved_is_an_empty_wave():
    graph = Graph()
    a = graph.state(1)
    quiet = graph.node([a], lambda ctx: ctx.emit(ctx.data_entry(0)[1]) if ctx.data_entry(0)[1] < 5 else None)
    waves = []
    run_once(graph, [quiet], lambda ctx: waves.append(ctx.wave_data(None)))
    a.set(6)
    assert waves == [[[[1]]], [[[]]]]


def test_state_entry_prefers_the_callbacks_own_latest_set_state():
    graph = Graph()
    a = graph.state(1)
    seen = []

    def callback(ctx):
        seen.append(ctx.state_entry())
        ctx.set_state(None)
        seen.append(ctx.state_entry())
        ctx.set_state(ctx.data_entry(0)[1])
        seen.append(ctx.state_entry())

    run_once(graph, [a], callback)
    a.set(7)
    assert seen == [(False, None), (True, None), (True, 1), (True, 1), (True, None), (True, 7)]


def test_a_kept_ctx_refuses_every_method():
    graph = Graph()
    a = graph.state(1)
    kept = []
    run_once(graph, [a], kept.append)
    (ctx,) = kept
    other = graph.state(2)
    calls = [
        lambda: ctx.dep_len(),
        lambda: ctx.data_entry(0),
        lambda: ctx.wave_data(None),
        lambda: ctx.terminal(0),
        lambda: ctx._pull_context(),
        lambda: ctx.emit(1),
        lambda: ctx.state_entry(),
        lambda: ctx.set_state(1),
        lambda: ctx.state_persist(),
        lambda: ctx.on_invalidate(print),
        lambda: ctx.on_deactivation(print),
        lambda: ctx._rewire_next_subscribe_dep(other, print),
        lambda: ctx._rewire_next_unsubscribe_dep(other, print),
        lambda: ctx._rewire_next_replace_deps([other], print),
        lambda: ctx._up_next_pull("p"),
        lambda: ctx._up_pull("p", None, 0),
        lambda: ctx._conformance_up_data(1),
        lambda: ctx._conformance_down_complete(),
    ]
    assert len(calls) == len([m for m in dir(_native.Ctx) if not m.startswith("__")])
    for call in calls:
        with pytest.raises(RuntimeError, match=CTX_INVALID):
            call()
    # Argument errors come before the validity check.
    with pytest.raises(TypeError) as info:
        ctx.state_persist(None)
    assert info.value.__notes__ == ["while processing 'on'"]
    with pytest.raises(TypeError):
        ctx._rewire_next_replace_deps("ab", print)
    # Nothing kept by the refused calls reaches the graph.
    a.set(3)
    assert other.cache() == 2


def test_emits_go_down_in_queue_order_after_the_callback():
    graph = Graph()
    a = graph.state(1)
    order = []

    def callback(ctx):
        ctx.emit(1)
        order.append("queued")
        ctx.emit(2)

    node, sub, seen = run_once(graph, [a], callback)
    assert seen == [("START", None), ("DATA", 1), ("DATA", 2)]
    assert node.cache() == 2 and order == ["queued"]


def test_nothing_queued_is_applied_when_the_callback_raises():
    graph = Graph()
    a = graph.state(1)

    def callback(ctx):
        ctx.emit(1)
        ctx.set_state("x")
        raise ValueError("bad")

    node, sub, seen = run_once(graph, [a], callback)
    assert seen == [("START", None), ("ERROR", "ValueError: bad")]
    assert node.status() == "errored"


def test_set_state_before_emit_and_the_next_runs_state():
    graph = Graph()
    a = graph.state(1)
    states = []
    order = []

    def callback(ctx):
        states.append(ctx.state_entry())
        ctx.set_state(("x", ctx.data_entry(0)[1]))
        ctx.emit(ctx.data_entry(0)[1])

    node, sub, seen = run_once(graph, [a], callback)

    def watch(ctx):
        order.append(ctx.data_entry(0)[1])

    run_once(graph, [node], watch)
    a.set(2)
    assert states == [(False, None), (True, ("x", 1))]
    assert order == [1, 2]


def test_state_persist_keeps_the_state_through_deactivation():
    graph = Graph()
    a = graph.state(1)
    states = {}

    def make(persist):
        def callback(ctx):
            states.setdefault(persist, []).append(ctx.state_entry())
            ctx.set_state("x")
            if persist is True:
                ctx.state_persist()  # on=True by default
            elif persist is False:
                ctx.state_persist(on=False)

        return callback

    for persist in (True, False, None):
        node, sub, seen = run_once(graph, [a], make(persist))
        sub.unsubscribe()
        node.subscribe(lambda kind, payload: None).unsubscribe()
    assert states[True] == [(False, None), (True, "x")]
    assert states[False] == [(False, None), (False, None)]
    assert states[None] == [(False, None), (False, None)]


def test_deactivation_hooks_of_the_last_run_run_once_at_deactivation():
    graph = Graph()
    a = graph.state(1)
    log = []
    first, second = Hook(log, "first"), Hook(log, "second")
    first_ref = weakref.ref(first)
    hooks = [first, second]

    def callback(ctx):
        ctx.on_deactivation(hooks.pop(0))

    node, sub, seen = run_once(graph, [a], callback)
    a.set(2)  # the next run drops the first run's hook uncalled
    del first
    gc.collect()
    assert first_ref() is None
    assert log == []
    sub.unsubscribe()
    assert log == ["second"]
    node.subscribe(lambda kind, payload: None).unsubscribe()
    assert second.calls == 1


def test_invalidate_hooks_run_when_the_nodes_value_is_invalidated():
    graph = Graph()
    a = graph.state(1)
    hook = Hook()

    def callback(ctx):
        ctx.on_invalidate(hook)
        ctx.emit(ctx.data_entry(0)[1])

    node, sub, seen = run_once(graph, [a], callback)
    a.invalidate()
    assert hook.calls == 1
    assert seen[-1] == ("INVALIDATE", None) and node.status() == "sentinel"


def test_a_hook_that_raises_errors_its_node_or_aborts():
    class Fatal(BaseException):
        pass

    graph = Graph()
    a = graph.state(1)

    def raising(exc):
        def hook():
            raise exc

        return hook

    node, sub, seen = run_once(graph, [a], lambda ctx: (ctx.on_invalidate(raising(ValueError("v"))), ctx.emit(1)))
    a.invalidate()
    assert ("ERROR", "ValueError: v") in seen and node.status() == "errored"

    b = graph.state(1)
    fatal = Fatal("stop")
    node, sub, seen = run_once(graph, [b], lambda ctx: ctx.on_deactivation(raising(fatal)))
    with pytest.raises(Fatal) as info:
        sub.unsubscribe()
    assert info.value is fatal
    assert graph.raise_pending_fatal() is None


def test_conformance_down_complete_ends_the_node_and_later_emits_are_dropped():
    graph = Graph()
    a = graph.state(1)

    def callback(ctx):
        if ctx.data_entry(0)[1] == 2:
            ctx._conformance_down_complete()
            ctx.emit("late")
        else:
            ctx.emit(ctx.data_entry(0)[1])

    node, sub, seen = run_once(graph, [a], callback)
    a.set(2)
    assert seen[-1] == ("COMPLETE", None) and node.status() == "completed"
    assert ("DATA", "late") not in seen


def test_conformance_up_data_faults_and_ends_the_wave_with_an_error():
    graph = Graph()
    a = graph.state(1)
    text = "ctx.up: DATA is down-only; up carries control tiers only (R-ctx-up)"

    def callback(ctx):
        if ctx.data_entry(0)[1] == 2:
            ctx.emit("before")
            ctx._conformance_up_data(1)
            ctx.emit("after")

    node, sub, seen = run_once(graph, [a], callback)
    assert a.set(2) is None
    assert ("DATA", "before") in seen and ("DATA", "after") not in seen
    assert ("ERROR", text) in seen

    # From inside a callback the wave is only joined: the fault reaches the
    # guard of the nested call.
    b = graph.state(1)
    inner = graph.node([b], lambda ctx: ctx._conformance_up_data(1) if ctx.data_entry(0)[1] == 2 else None)
    _alive.append(inner.subscribe(lambda kind, payload: None))
    raised = []

    def outer(ctx):
        try:
            b.set(2)
        except RuntimeError as e:
            raised.append(str(e))

    run_once(graph, [a], outer)
    assert raised == [text]


def test_pulls_reach_the_node_with_the_pull_id():
    graph = Graph()
    source = graph.state(7)
    trigger = graph.state(0)
    pulls = []

    def pulled(ctx):
        pulls.append(ctx._pull_context())
        ctx.emit(ctx.data_entry(0)[1])

    params = {"x": 1}
    target = graph.node([source], pulled, pull_id="p")

    def asker(ctx):
        if not ctx.data_entry(1)[0]:
            ctx._up_pull("p", params, 1)

    node, sub, seen = run_once(graph, [trigger, target], asker, partial=True)
    assert pulls == [("p", params)] and pulls[0][1] is params
    assert target.cache() == 7

    later = graph.node([source], pulled, pull_id="q")
    ran = []

    def next_asker(ctx):
        ran.append(ctx.data_entry(1))
        if not ctx.data_entry(1)[0]:
            ctx._up_next_pull("q")
            ran.append(len(pulls))

    run_once(graph, [trigger, later], next_asker, partial=True)
    # Queued for the end of the wave: nothing was pulled during the run.
    assert ran[:2] == [(False, None), 1]
    assert pulls[1] == ("q", None) and ran[2] == (True, 7)


def test_a_pull_toward_a_dep_past_the_last_goes_nowhere():
    graph = Graph()
    source = graph.state(7)
    trigger = graph.state(0)
    pulls = []
    target = graph.node([source], lambda ctx: pulls.append(ctx._pull_context()), pull_id="p")

    def asker(ctx):
        ctx._up_pull("p", None, 99)

    node, sub, seen = run_once(graph, [trigger, target], asker, partial=True)
    assert pulls == []
    assert ("ERROR" not in [kind for kind, _ in seen])


def test_rewire_next_replace_deps_installs_deps_and_callback_after_the_wave():
    graph = Graph()
    a = graph.state(1, name="a")
    b = graph.state(10, name="b")
    c = graph.state(100, name="c")
    runs = []

    def second(ctx):
        runs.append(("second", [ctx.data_entry(i)[1] for i in range(ctx.dep_len())]))
        ctx.emit(sum(ctx.data_entry(i)[1] for i in range(ctx.dep_len())))

    def first(ctx):
        runs.append(("first", ctx.dep_len()))
        ctx._rewire_next_replace_deps([b, c], second)
        ctx.emit(ctx.data_entry(0)[1])

    node, sub, seen = run_once(graph, [a], first, name="n")
    assert runs[0] == ("first", 1)
    b.set(20)
    assert runs[-1] == ("second", [20, 100]) and node.cache() == 120
    count = len(runs)
    a.set(2)  # no longer a dep
    assert len(runs) == count


def test_rewire_next_subscribe_and_unsubscribe_dep():
    graph = Graph()
    a = graph.state(1, name="a")
    b = graph.state(10, name="b")
    lens = []

    def after_unsubscribe(ctx):
        lens.append(("unsub", ctx.dep_len()))

    def after_subscribe(ctx):
        lens.append(("sub", ctx.dep_len()))
        if ctx.dep_len() == 2 and ctx.data_entry(1)[1] == 11:
            ctx._rewire_next_unsubscribe_dep(b, after_unsubscribe)

    def start(ctx):
        lens.append(("start", ctx.dep_len()))
        ctx._rewire_next_subscribe_dep(b, after_subscribe)

    node, sub, seen = run_once(graph, [a], start)
    b.set(11)
    a.set(2)
    assert lens[0] == ("start", 1)
    assert ("sub", 2) in lens and lens[-1] == ("unsub", 1)


def test_rewire_with_a_lookup_handle_uses_the_node_it_found():
    graph = Graph()
    a = graph.state(1, name="a")
    b = graph.state(10, name="b")
    found = graph._find("b")
    values = []

    def second(ctx):
        values.append(ctx.data_entry(0)[1])

    def first(ctx):
        ctx._rewire_next_replace_deps([found], second)

    run_once(graph, [a], first)
    b.set(11)
    assert values[-1] == 11

    c = graph.state(5, name="c")
    found_c = graph._find("c")
    last = []

    def after_subscribe(ctx):
        last.append((ctx.dep_len(), ctx.data_entry(ctx.dep_len() - 1)[1]))

    run_once(graph, [a], lambda ctx: ctx._rewire_next_subscribe_dep(found_c, after_subscribe))
    c.set(6)
    assert last[-1] == (2, 6)


def test_a_refused_rewire_faults_when_the_wave_ends():
    graph = Graph()
    a = graph.state(1)
    holder = {}

    def callback(ctx):
        ctx._rewire_next_subscribe_dep(holder["self"], callback)

    node = graph.node([a], callback)
    holder["self"] = node
    seen, sink = recorder()
    sub = node.subscribe(sink)
    assert seen[-1] == ("ERROR", "rewire: self-dependency rejected (R-rewire / D42)")
