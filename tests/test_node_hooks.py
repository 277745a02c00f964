"""Node's message hooks (_up_*, _down_*, the conformance message hooks), its
rewiring hooks, and Graph._conformance_node: the exact lists they deliver,
what subscribers see, and every refusal."""

import pytest

from korvalinth import _native
from conftest import run_in_thread

DATA_RESOLVED_MIX = "down: a wave cannot mix DATA and RESOLVED (tier-3 exclusivity, R-resolved-undirty / D49)"
CTX_UP = "ctx.up: DATA is down-only; up carries control tiers only (R-ctx-up)"
REWIRE = {
    "terminal": "rewire: node is terminal (completed/errored) \u2014 cannot rewire (R-rewire / D42)",
    "mid_fn": "rewire: mid-fn topology mutation \u2014 a fn mutating its own deps mid-wave is the feedback cycle "
              "(R-rewire / D37)",
    "self": "rewire: self-dependency rejected (R-rewire / D42)",
    "terminal_dep": "rewire: cannot add a non-resubscribable terminal dep \u2014 would wedge (R-rewire / D42)",
    "cycle": "rewire: would create a cycle \u2014 dep already transitively depends on this node (R-rewire / D42)",
    "foreign": "rewire: dep belongs to a different graph; cross-graph deps require a wire bridge (D22/R-graph-domain)",
}


class Fatal(BaseException):
    pass


def echo(ctx):
    ctx.emit(ctx.data_entry(0))


def watched(graph):
    """A state node s (1) and a node d echoing s's entry, both subscribed;
    `seen` collects (node, kind, payload) from here on."""
    seen = []
    s = graph.state(1, name="s")
    d = graph.node([s], echo, name="d")
    subs = [n.subscribe(lambda k, p, tag=tag: seen.append((tag, k, p))) for tag, n in (("s", s), ("d", d))]
    seen.clear()
    return s, d, seen, subs


S, D = "s", "d"
DOWN_HOOKS = [  # hook, arguments, what s and d's subscribers see, s's status
    ("_down_dirty", (), [(S, "DIRTY"), (D, "DIRTY")], "dirty"),
    ("_down_resolved", (), [(S, "DIRTY"), (D, "DIRTY"), (S, "RESOLVED"), (D, "DATA", (True, 1))], "resolved"),
    ("_down_invalidate", (), [(S, "INVALIDATE"), (D, "INVALIDATE")], "sentinel"),
    ("_down_complete", (), [(S, "COMPLETE"), (D, "COMPLETE")], "completed"),
    ("_down_teardown", (), [(S, "TEARDOWN"), (D, "COMPLETE"), (D, "TEARDOWN")], "settled"),
    ("_down_error", ("boom",), [(S, "ERROR", "boom"), (D, "ERROR", "boom")], "errored"),
    ("_down_data_complete", (7,), [(S, "DIRTY"), (D, "DIRTY"), (S, "DATA", 7), (S, "COMPLETE"), (D, "COMPLETE")],
     "completed"),
    ("_conformance_c22_down_data", (5,), [(S, "DIRTY"), (D, "DIRTY"), (S, "DATA", 5), (D, "DATA", (True, 5))],
     "settled"),
    ("_down_data_data_invalidate", (2, 3), [(S, "DIRTY"), (D, "DIRTY"), (S, "DATA", 2), (S, "DATA", 3),
                                            (S, "INVALIDATE"), (D, "INVALIDATE"), (D, "DATA", (False, None))],
     "sentinel"),
    # Refused lists: nothing of them is delivered, the ERROR with the text is.
    ("_conformance_c12_down_data_resolved", (5,), [(S, "ERROR", DATA_RESOLVED_MIX), (D, "ERROR", DATA_RESOLVED_MIX)],
     "errored"),
    ("_conformance_up_data_forbidden", (5,), [(S, "ERROR", CTX_UP), (D, "ERROR", CTX_UP)], "errored"),
    ("_up_dirty", (), [], "settled"),
    ("_up_teardown", (), [], "settled"),
]


@pytest.mark.parametrize("hook, args, expected, status", DOWN_HOOKS, ids=[row[0] for row in DOWN_HOOKS])
def test_each_hook_delivers_its_list_in_one_wave(hook, args, expected, status):
    s, d, seen, subs = watched(_native.Graph())
    # The up hooks go from d, whose dep s is where they end.
    assert getattr(d if hook.startswith("_up_") else s, hook)(*args) is None
    assert seen == [(tag, kind, rest[0] if rest else None) for tag, kind, *rest in expected]
    assert s.status() == status


@pytest.mark.parametrize("hook, args", [row[:2] for row in DOWN_HOOKS], ids=[row[0] for row in DOWN_HOOKS])
def test_a_terminal_node_drops_every_list_and_its_refusal(hook, args):
    s, d, seen, subs = watched(_native.Graph())
    s._down_data_complete("done")
    seen.clear()
    getattr(s, hook)(*args)
    assert seen == [] and s.status() == "completed" and s.cache() == "done"


@pytest.mark.parametrize("hook, text", [("_conformance_c12_down_data_resolved", DATA_RESOLVED_MIX),
                                        ("_conformance_up_data_forbidden", CTX_UP)])
def test_inside_a_callback_a_refused_list_raises_and_others_join_the_wave(hook, text):
    graph = _native.Graph()
    joined, refused = graph.state(0), graph.state(0)
    outcomes = []

    def callback(ctx):
        joined._down_error("joined")
        outcomes.append(joined.status())
        with pytest.raises(RuntimeError) as info:
            getattr(refused, hook)(1)
        outcomes.append(str(info.value))

    n = graph.node([graph.state(1)], callback)
    sub = n.subscribe(lambda k, p: None)  # noqa: F841 - keeps the graph active
    assert outcomes == ["errored", text]


def test_pull_hooks_reach_the_node_with_the_pull_id():
    graph = _native.Graph()
    pulls = []
    source = graph.state(1)
    p, q = (graph.node([source], lambda ctx, t=t: pulls.append((t, ctx._pull_context())), pull_id=t)
            for t in ("p", "q"))
    top = graph.node([p, q], lambda ctx: None)
    sub = top.subscribe(lambda k, v: None)  # noqa: F841 - keeps the graph active
    calls = [
        (lambda: top._conformance_up_pull("p", {"x": 1}), [("p", ("p", {"x": 1}))]),
        (lambda: top._conformance_up_pull("q", params=None), [("q", ("q", None))]),
        (lambda: top._conformance_up_pull_toward(1, "p"), []),  # q is on the way: passes it on to the source
        (lambda: top._conformance_up_pull_toward(0, "p", 0), [("p", ("p", 0))]),
        (lambda: top._conformance_up_pull_toward(5, "q"), []),
        (lambda: p._conformance_up_pull_toward(0, "p", ""), [("p", ("p", ""))]),  # taken by the node itself
    ]
    for call, expected in calls:
        pulls.clear()
        assert call() is None
        assert pulls == expected


@pytest.mark.parametrize("call, error, argument", [
    (lambda n: n._conformance_up_pull_toward(-1, "p"), OverflowError, "toward_dep"),
    (lambda n: n._conformance_up_pull_toward(2**64, "p"), OverflowError, "toward_dep"),
    (lambda n: n._conformance_up_pull_toward("0", "p"), TypeError, "toward_dep"),
    (lambda n: n._conformance_up_pull(5), TypeError, "pull_id"),
    (lambda n: n._down_error(5), TypeError, "message"),
    (lambda n: n._conformance_immediate_replace_deps("ab", None), TypeError, "deps"),
    (lambda n: n._conformance_immediate_subscribe_dep(1, None), TypeError, "dep"),
    (lambda n: n._conformance_c21_replace_with_live_dep(n, n), TypeError, "async_handle"),
])
def test_argument_errors_name_their_argument_and_send_nothing(call, error, argument):
    s, d, seen, subs = watched(_native.Graph())
    with pytest.raises(error) as info:
        call(s)
    assert info.value.__notes__ == [f"while processing '{argument}'"]
    assert seen == []


ALL_HOOKS = [(hook, args) for hook, args, *_ in DOWN_HOOKS] + [
    ("_conformance_up_pull", ("p",)), ("_conformance_up_pull_toward", (0, "p")),
    ("_conformance_immediate_replace_deps", ([], None)),
]


@pytest.mark.parametrize("hook, args", ALL_HOOKS, ids=[h for h, _ in ALL_HOOKS])
def test_lookup_handles_act_on_their_placeholder_and_stale_nodes_are_refused(hook, args, kit_probe):
    graph = _native.Graph()
    s = graph.state(1, name="s")
    assert getattr(graph._find("s"), hook)(*args) is None
    assert s.status() == "settled" and s.cache() == 1
    with pytest.raises(RuntimeError, match="^Core points at a stale or freed GraphCore slot$"):
        getattr(kit_probe.make_probe().make_stale_node(), hook)(*args)


@pytest.mark.parametrize("hook, args", [("_down_error", ("x",)), ("_down_data_complete", (1,)),
                                        ("_conformance_c12_down_data_resolved", (1,))])
def test_a_fatal_raised_by_a_subscriber_during_the_delivery_is_raised_by_the_hook(hook, args):
    graph = _native.Graph()
    s = graph.state(0)
    fatal = Fatal()

    def subscriber(kind, payload):
        if kind in ("ERROR", "COMPLETE"):
            raise fatal

    sub = s.subscribe(subscriber)  # noqa: F841 - kept for the delivery
    with pytest.raises(Fatal) as info:
        getattr(s, hook)(*args)
    assert info.value is fatal and graph.raise_pending_fatal() is None


def summing(tag, runs):
    def callback(ctx):
        values = [ctx.data_entry(i)[1] for i in range(ctx.dep_len())]
        runs.append((tag, values))
        ctx.emit(sum(values))
    return callback


def dep_ids(graph, node_id):
    return next(n["deps"] for n in graph.describe()["nodes"] if n["id"] == node_id)


def test_immediate_rewires_change_the_deps_and_always_the_function():
    graph = _native.Graph()
    a, b = graph.state(1, name="a"), graph.state(2, name="b")
    runs = []
    n = graph.node([a], summing("first", runs), name="n")
    seen = []
    sub = n.subscribe(lambda k, p: seen.append((k, p)))  # noqa: F841
    steps = [  # call, n's deps after it, runs and n's messages during it, runs on the next a.set
        (lambda: n._conformance_immediate_subscribe_dep(b, summing("sub", runs)), ["a", "b"],
         [("sub", [1, 2])], [("DIRTY", None), ("DATA", 3)], "sub"),
        (lambda: n._conformance_immediate_subscribe_dep(b, summing("again", runs)), ["a", "b"], [], [], "again"),
        (lambda: n._conformance_immediate_unsubscribe_dep(a, summing("unsub", runs)), ["b"], [], [], None),
        (lambda: n._conformance_immediate_unsubscribe_dep(n, summing("not a dep", runs)), ["b"], [], [], None),
        (lambda: n._conformance_immediate_replace_deps([a, b, a], summing("replace", runs)), ["a", "b"],
         [("replace", [1, 2])], [("DIRTY", None), ("DATA", 3)], "replace"),
        (lambda: n._conformance_immediate_replace_deps((), summing("none", runs)), [], [], [], None),
    ]
    for call, deps, during, messages, next_run in steps:
        runs.clear()
        seen.clear()
        assert call() is None
        assert (dep_ids(graph, "n"), runs, seen) == (deps, during, messages)
        runs.clear()
        a.set(a.cache())
        assert [tag for tag, _ in runs] == ([next_run] if next_run else [])


@pytest.mark.parametrize("case", sorted(REWIRE))
@pytest.mark.parametrize("hook", ["_conformance_immediate_subscribe_dep", "_conformance_immediate_replace_deps"])
def test_refused_rewires_raise_and_change_nothing(hook, case):
    graph = _native.Graph()
    a, done = graph.state(1, name="a"), graph.state(1, name="done")
    done._down_complete()
    n = graph.node([a], echo, name="n")
    m = graph.node([n], echo, name="m")
    sub = m.subscribe(lambda k, p: None)  # noqa: F841
    outcome = []

    def rewire(node, dep):
        with pytest.raises(RuntimeError) as info:
            getattr(node, hook)(dep if hook.endswith("_dep") else [dep], lambda ctx: None)
        outcome.append(str(info.value))

    if case == "mid_fn":
        inner = graph.node([a], lambda ctx: rewire(inner, a))
        inner.subscribe(lambda k, p: None)  # runs the callback once
    else:
        target, dep = {"terminal": (done, a), "self": (n, n), "terminal_dep": (n, done), "cycle": (n, m),
                       "foreign": (n, _native.Graph().state(1))}[case]
        rewire(target, dep)
    assert outcome == [REWIRE[case]]
    assert dep_ids(graph, "n") == ["a"] and m.cache() == (True, (True, 1))


def test_unsubscribe_takes_any_node_and_batched_nodes_rewire_when_the_batch_ends():
    graph = _native.Graph()
    a, b = graph.state(1, name="a"), graph.state(2, name="b")
    n = graph.node([a], echo, name="n")
    assert n._conformance_immediate_unsubscribe_dep(_native.Graph().state(1), echo) is None
    assert n._conformance_immediate_unsubscribe_dep(n, echo) is None

    def inside():
        n._conformance_c22_down_data(0)  # the batch now holds n
        n._conformance_immediate_replace_deps([b], echo)
        inside.deps = dep_ids(graph, "n")
    graph.batch(inside)
    assert (inside.deps, dep_ids(graph, "n")) == (["a"], ["b"])


def test_a_dep_of_another_thread_is_refused_before_the_rewire():
    here = _native.Graph().state(1)
    for hook, dep in (("_conformance_immediate_subscribe_dep", here), ("_conformance_immediate_replace_deps", [here])):
        raised = run_in_thread(lambda: getattr(_native.Graph().state(1), hook)(dep, echo))["raised"]
        assert str(raised) == "_native::PyNode is unsendable, but sent to another thread"


def test_conformance_nodes_behave_as_graph_nodes_without_restore_parameters():
    graph = _native.Graph()
    s = graph.state(1, name="s")
    seen = {}
    first = lambda ctx: ctx.emit(ctx.data_entry(0)[1])  # noqa: E731
    built = {"node": graph.node([s], first), "conformance": graph._conformance_node([s], first, pull_id=None)}
    subs = [n.subscribe(lambda k, p, t=t: seen.setdefault(t, []).append((k, p))) for t, n in built.items()]
    s._down_data_complete(2)
    assert seen["node"] == seen["conformance"] == [("START", None), ("DATA", 1), ("DIRTY", None), ("COMPLETE", None)]
    assert [(n["id"], n["factory"]) for n in graph.describe()["nodes"]][1:] == [("node#0", "node"),
                                                                                  ("node#1", "node")]
    assert [n["factory"]["kind"] for n in graph.checkpoint()["nodes"]][1:] == ["local-only"] * 2
    del subs
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'restore_ref'"):
        graph._conformance_node([s], echo, restore_ref="r")
    with pytest.raises(RuntimeError, match=r"^pullId \+ pausable:false is invalid \(R-pull / R-pause-modes\)$"):
        graph._conformance_node([s], echo, pull_id="p", pausable="false")


def test_c21_leaves_the_one_dep_and_each_run_captures_its_live_ctx_into_the_handle():
    graph = _native.Graph()
    a, b = graph.state(1, name="a"), graph.state(2, name="b")
    other, handle = graph._conformance_async_node([a])
    n = graph.node([a], echo, name="n")
    seen = []
    sub = n.subscribe(lambda k, p: seen.append((k, p)))  # noqa: F841
    with pytest.raises(RuntimeError) as info:
        n._conformance_c21_replace_with_live_dep(n, handle)
    assert str(info.value) == REWIRE["self"]
    seen.clear()
    assert n._conformance_c21_replace_with_live_dep(b, handle) is None
    assert dep_ids(graph, "n") == ["b"] and handle.has_pending()
    handle.resolve("first")
    b.set(3)
    handle.resolve("second")  # the run b.set caused replaced the capture
    assert not handle.has_pending()
    resolved = [("DIRTY", None), ("RESOLVED", None)]  # a capturing run emits nothing
    assert seen == resolved + [("DIRTY", None), ("DATA", "first")] + resolved + [("DIRTY", None), ("DATA", "second")]
