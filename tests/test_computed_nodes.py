"""Graph.node: computed nodes over several deps with their options, and the
Python node callback adapter."""

import inspect

import pytest

from korvalinth._native import Graph, Node


class Fatal(BaseException):
    pass


def recorder():
    seen = []
    return seen, lambda kind, payload: seen.append((kind, payload))


def watched(node):
    seen, sink = recorder()
    return seen, node.subscribe(sink)


def summing(ctx):
    """Emits the sum of the deps that have values."""
    entries = [ctx.data_entry(i) for i in range(ctx.dep_len())]
    ctx.emit(sum(value for has, value in entries if has))


def test_a_node_over_several_deps_runs_when_all_have_values():
    graph = Graph()
    a = graph.state(1)
    b = graph.state_empty()
    c = graph.state(100)
    node = graph.node([a, b, c], summing, name="sum")
    assert type(node) is Node
    seen, sub = watched(node)
    assert seen == [("START", None)]
    b.set(10)
    assert node.cache() == 111
    a.set(2)
    assert seen[-2:] == [("DIRTY", None), ("DATA", 112)]


def test_partial_runs_with_the_deps_that_have_values():
    graph = Graph()
    a = graph.state(1)
    b = graph.state_empty()
    entries = []

    def callback(ctx):
        entries.append((ctx.data_entry(0), ctx.data_entry(1)))

    seen, sub = watched(graph.node([a, b], callback, partial=True))
    assert entries == [((True, 1), (False, None))]
    b.set(2)
    assert entries[-1] == ((True, 1), (True, 2))


@pytest.mark.parametrize("set_in_batch", [False, True])
def test_a_node_its_first_run_gate_holds_resolves_once_its_deps_settle(set_in_batch):
    graph = Graph()
    s = graph.state(0)
    quiet = graph.node([s], lambda ctx: None)  # never emits
    d = graph.derived([quiet], lambda x: x, name="d")
    seen, sub = watched(d)
    if set_in_batch:
        graph.batch(lambda: s.set(1))
    else:
        s.set(1)
    assert seen == [("START", None), ("DIRTY", None), ("RESOLVED", None)]
    assert d.status() == "sentinel"
    assert {n["id"]: n["status"] for n in graph.checkpoint()["nodes"]}["d"] == "sentinel"


def test_terminal_options():
    graph = Graph()
    a = graph.state(1)
    done = graph.node([a], lambda ctx: ctx._conformance_down_complete())
    failed = graph.derived([a], lambda value: 1 / 0)

    # Defaults: completes with its deps, errors with a dep's error text.
    completing = graph.node([done], summing)
    erroring = graph.node([failed], summing)
    seen_c, sub_c = watched(completing)
    seen_e, sub_e = watched(erroring)
    assert completing.status() == "completed" and seen_c[-1] == ("COMPLETE", None)
    assert erroring.status() == "errored" and seen_e[-1] == ("ERROR", "ZeroDivisionError: division by zero")

    # Turned off, the node stays open.
    other = graph.state(1)
    open_node = graph.node([done, other], summing, partial=True, complete_when_deps_complete=False)
    tolerant = graph.node([failed, other], summing, partial=True, error_when_deps_error=False)
    seen_o, sub_o = watched(open_node)
    seen_t, sub_t = watched(tolerant)
    assert open_node.status() != "completed" and tolerant.status() != "errored"
    other.set(5)
    assert tolerant.cache() == 5

    # As real input the run sees the terminal.
    terminals = []
    fresh = graph.derived([graph.state(1)], lambda value: 1 / 0)
    as_input = graph.node([fresh], lambda ctx: terminals.append(ctx.terminal(0)), partial=True,
                          error_when_deps_error=False, terminal_as_real_input=True)
    seen_i, sub_i = watched(as_input)
    assert terminals == ["ZeroDivisionError: division by zero"]


def test_a_diamond_runs_its_bottom_node_once_per_wave():
    graph = Graph()
    top = graph.state(1)
    left = graph.node([top], lambda ctx: ctx.emit(ctx.data_entry(0)[1] + 1))
    right = graph.node([top], lambda ctx: ctx.emit(ctx.data_entry(0)[1] * 2))
    runs = []

    def bottom(ctx):
        runs.append((ctx.data_entry(0)[1], ctx.data_entry(1)[1]))
        ctx.emit(runs[-1])

    seen, sub = watched(graph.node([left, right], bottom))
    assert runs == [(2, 2)]
    top.set(5)
    assert runs == [(2, 2), (6, 10)]
    assert seen[-2:] == [("DIRTY", None), ("DATA", (6, 10))]


def test_ids_of_unnamed_nodes_and_none_as_name():
    graph = Graph()
    a = graph.state(1, name="a")
    graph.node([], lambda ctx: None)
    graph.node([a], lambda ctx: None, name=None)
    graph.state(2)
    graph.node([a], lambda ctx: None)
    # One counter for every kind of the graph.
    for id in ("node#0", "node#1", "state#2", "node#3"):
        assert graph._find(id) is not None
    graph.node([a], lambda ctx: None, name="x")
    with pytest.raises(RuntimeError, match="^duplicate graph node id 'x'$"):
        graph.node([a], lambda ctx: None, name="x")


def test_a_node_without_deps_runs_on_activation():
    graph = Graph()
    calls = []

    def callback(ctx):
        calls.append(ctx.dep_len())
        ctx.emit("v")

    node = graph.node([], callback)
    assert calls == []
    seen, sub = watched(node)
    assert calls == [0] and seen == [("START", None), ("DATA", "v")]


def test_the_callbacks_return_value_emits_nothing():
    graph = Graph()
    a = graph.state(1)
    node = graph.node([a], lambda ctx: 42)
    seen, sub = watched(node)
    assert seen == [("START", None)] and node.cache_entry() == (False, None)


def test_callback_exceptions():
    graph = Graph()
    a = graph.state(1)
    seen, sub = watched(graph.node([a], 42))
    assert seen[-1][0] == "ERROR" and seen[-1][1].startswith("TypeError: ")

    b = graph.state(1)
    fatal = Fatal("stop")

    def callback(ctx):
        ctx.emit("queued")
        if ctx.data_entry(0)[1] == 2:
            raise fatal

    node = graph.node([b], callback)
    seen, sub = watched(node)
    with pytest.raises(Fatal) as info:
        b.set(2)
    assert info.value is fatal
    assert ("DATA", "queued") in seen
    assert graph.raise_pending_fatal() is None


def test_restore_arguments():
    graph = Graph()
    a = graph.state(1)
    graph.node([a], summing, restore_config=None)
    with pytest.raises(ValueError, match="^restore config requires a restore ref$"):
        graph.node([a], summing, restore_config=0)
    with pytest.raises(ValueError, match="^restore config requires a restore ref$"):
        graph.node([a], summing, restore_config_version="v1")
    with pytest.raises(ValueError, match="^checkpoint value is not strict JSON compatible$"):
        graph.node([a], summing, restore_ref="sum", restore_config=(1, 2))
    with pytest.raises(ValueError, match="^checkpoint value must be finite strict JSON$"):
        graph.node([a], summing, restore_ref="sum", restore_config={}, restore_config_version=float("nan"))
    node = graph.node([a], summing, restore_ref="sum", restore_config={"k": [1]}, restore_config_version=2)
    assert node.status() == "sentinel"


def test_builder_refusals():
    graph = Graph()
    foreign = Graph().state(1)
    with pytest.raises(RuntimeError) as info:
        graph.node([foreign], summing)
    assert str(info.value) == "node dep belongs to a different graph; cross-graph deps require a wire bridge"
    with pytest.raises(RuntimeError) as info:
        graph.node([foreign], summing, name="n")
    assert str(info.value) == "n dep belongs to a different graph; cross-graph deps require a wire bridge"
    with pytest.raises(RuntimeError, match=r"^pullId \+ pausable:false is invalid \(R-pull / R-pause-modes\)$"):
        graph.node([], summing, pull_id="p", pausable="false")
    with pytest.raises(ValueError, match="^pausable must be true, 'resumeAll', or false$"):
        graph.node([], summing, pausable="True")
    assert graph._find("n") is None


def test_argument_errors_and_signature():
    graph = Graph()
    with pytest.raises(TypeError, match=r"^Graph.node\(\) missing 1 required positional argument: 'callback'$"):
        graph.node([])
    with pytest.raises(TypeError) as info:
        graph.node("ab", summing)
    assert str(info.value) == "Can't extract `str` to `Vec`" and info.value.__notes__ == ["while processing 'deps'"]
    with pytest.raises(TypeError) as info:
        graph.node([], summing, partial=1)
    assert info.value.__notes__ == ["while processing 'partial'"]
    with pytest.raises(TypeError) as info:
        graph.node([], summing, restore_ref=1)
    assert info.value.__notes__ == ["while processing 'restore_ref'"]
    assert str(inspect.signature(Graph.node)) == (
        "(self, /, deps, callback, name=None, partial=False, complete_when_deps_complete=True, "
        "error_when_deps_error=True, terminal_as_real_input=False, pausable=None, pull_id=None, "
        "restore_ref=None, restore_config=None, restore_config_version=None)"
    )
    assert not Graph.node.__doc__


def test_a_node_built_inside_a_callback_is_built_at_once():
    graph = Graph()
    a = graph.state(1)
    built = []

    def callback(ctx):
        inner = graph.node([a], summing)
        built.append(inner)
        ctx.emit(graph._find("node#1") is not None)

    node = graph.node([a], callback)
    seen, sub = watched(node)
    assert node.cache() is True and built[0].status() == "sentinel"


class Deps(list):
    pass


class BrokenSequence:
    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        if index == 1:
            raise LookupError("broken at 1")
        return Graph().state(1)


def test_deps_forms_through_graph_node():
    graph = Graph()
    a, b = graph.state(1, name="a"), graph.state(2, name="b")

    def values(ctx):
        ctx.emit([ctx.data_entry(i)[1] for i in range(ctx.dep_len())])

    for deps, expected in [((a, b), [1, 2]), (Deps([b, a]), [2, 1]), ([a, a], [1, 1]), ([graph._find("b")], [2])]:
        node = graph.node(deps, values)
        seen, sub = watched(node)
        assert node.cache() == expected
    assert graph.describe()["nodes"][4]["deps"] == ["a", "a"]
    for deps, text in [(b"ab", "'int' object is not an instance of 'Node'"),
                       ((n for n in [a]), "'generator' object is not an instance of 'Sequence'"),
                       ({"a": a}, "'dict' object is not an instance of 'Sequence'"),
                       (None, "'None' is not an instance of 'Sequence'")]:
        with pytest.raises(TypeError) as info:
            graph.node(deps, values)
        assert str(info.value) == text and info.value.__notes__ == ["while processing 'deps'"]
    # A length that cannot be taken is no error; iteration errors pass up.
    with pytest.raises(LookupError) as info:
        graph.node(BrokenSequence(), values)
    assert str(info.value) == "broken at 1" and info.value.__notes__ == ["while processing 'deps'"]


class Boastful:
    """A sequence that claims far more items than it yields."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        return self.items[index]


def test_a_length_that_overstates_the_items_is_only_a_hint():
    graph = Graph()
    a, b = graph.state(1, name="a"), graph.state(2, name="b")
    node = graph.node(Boastful([a, b]), summing)
    seen, sub = watched(node)
    assert node.cache() == 3
    assert graph.derived(Boastful([]), lambda: 0).status() == "sentinel"


def test_option_forms_through_graph_node():
    graph = Graph()
    for pausable in (None, "true", "resumeAll", "false"):
        graph.node([], summing, pausable=pausable)
    pulled = graph.node([], summing, pull_id="", name="pulled")
    assert pulled.status() == "sentinel"
    refusals = [
        ({"pausable": True}, "'bool' object is not an instance of 'str'", "pausable"),
        ({"pull_id": 5}, "'int' object is not an instance of 'str'", "pull_id"),
        ({"name": b"n"}, "'bytes' object is not an instance of 'str'", "name"),
        ({"partial": None}, "'None' is not an instance of 'bool'", "partial"),
        ({"complete_when_deps_complete": 1}, "'int' object is not an instance of 'bool'",
         "complete_when_deps_complete"),
        ({"error_when_deps_error": "yes"}, "'str' object is not an instance of 'bool'", "error_when_deps_error"),
        ({"terminal_as_real_input": 0}, "'int' object is not an instance of 'bool'", "terminal_as_real_input"),
    ]
    for options, text, name in refusals:
        with pytest.raises(TypeError) as info:
            graph.node([], summing, **options)
        assert str(info.value) == text and info.value.__notes__ == [f"while processing '{name}'"]
    for text in ("", "True", "FALSE", "resumeall"):
        with pytest.raises(ValueError, match="^pausable must be true, 'resumeAll', or false$") as info:
            graph.node([], summing, pausable=text)
        assert not hasattr(info.value, "__notes__")


def test_the_first_bad_argument_in_signature_order_is_reported():
    graph = Graph()
    bad = {"deps": "x", "name": 1, "partial": None, "pausable": 2, "pull_id": 3, "restore_ref": 4}
    order = ["deps", "name", "partial", "pausable", "pull_id", "restore_ref"]
    for first in range(len(order)):
        arguments = {"deps": [], "callback": summing}
        arguments.update({name: bad[name] for name in order[first:]})
        with pytest.raises(TypeError) as info:
            graph.node(**arguments)
        assert info.value.__notes__ == [f"while processing '{order[first]}'"]
    # Conversions of every argument come before the pausable text and the
    # restore arguments.
    with pytest.raises(ValueError, match="^pausable must be"):
        graph.node([], summing, pausable="no", restore_config=(1,))
    with pytest.raises(ValueError, match="^restore config requires a restore ref$"):
        graph.node([], summing, restore_config=(1,))
