"""Graph.derived, Graph.effect and Graph.producer: callbacks that take dep
values and return the next value."""

import gc
import weakref

import pytest

from korvalinth._native import Graph, Node

ABSENT = "RuntimeError: dependency DATA is absent at the Python callback boundary"


class Fatal(BaseException):
    pass


class Marker:
    pass


def watched(node):
    seen = []
    return seen, node.subscribe(lambda kind, payload: seen.append((kind, payload)))


def test_derived_takes_dep_values_in_order_and_emits_its_return():
    graph = Graph()
    a = graph.state(2)
    b = graph.state(3)
    calls = []

    def callback(x, y):
        calls.append((x, y))
        return x - y

    node = graph.derived([a, b], callback, name="diff")
    assert type(node) is Node and calls == []
    seen, sub = watched(node)
    assert seen == [("START", None), ("DATA", -1)]
    b.set(10)
    assert calls == [(2, 3), (2, 10)] and node.cache() == -8


@pytest.mark.parametrize(
    "count, absent",
    [(1, None), (4, None), (5, None), (8, None), (9, None), (5, 4), (9, 8), (9, 2), (8, 3), (8, 6), (12, 9)]
    # Wide enough that the gather asks for value blocks ahead.
    + [(36, None), (37, None), (70, None), (70, 5), (70, 38), (70, 69)],
)
def test_dep_values_of_any_count_arrive_in_order_and_are_all_released(count, absent):
    graph = Graph()
    values = [Marker() for _ in range(count)]
    refs = [weakref.ref(v) for v in values]
    states = [graph.state(v) for v in values]
    calls = []
    node = graph.derived(states, lambda *args: calls.append(args) or len(args))
    seen, sub = watched(node)
    assert calls == [tuple(values)] and node.cache() == count
    if absent is not None:
        # Objects gathered before the dep without a value are given back.
        states[absent].invalidate()
        states[absent - 1].set(values[absent - 1])
        assert len(calls) == 1 and seen[-1] == ("ERROR", ABSENT)
    del values, calls, states, node, seen, sub, graph
    gc.collect()
    assert [ref() for ref in refs] == [None] * count


def test_restored_values_reach_callbacks_as_new_objects_beside_held_ones():
    from korvalinth import restore_graph, restore_registry

    original = Graph()
    original.state({"k": [1, 2.5]}, name="j")
    graph = restore_graph(original.checkpoint(), restore_registry([]))
    restored = graph._find("j")
    held = [Marker() for _ in range(5)]
    calls = []
    node = graph.derived([restored, *[graph.state(v) for v in held], restored], lambda *args: calls.append(args))
    seen, sub = watched(node)
    ((first, *middle, last),) = calls
    assert first == last == {"k": [1, 2.5]} and first is not last
    assert middle == held


# One or two deps holding Python objects are passed without an argument
# list; every other layout, a restored value or a third dep, builds one,
# held objects taken four at a time until a restored value breaks a group.
@pytest.mark.parametrize(
    "layout",
    ["p", "r", "pp", "rp", "pr", "rr", "ppp", "ppr", "pppp", "pppr", "ppppr", "rpppp", "pppppppr", "ppppprppp"]
    # Wide layouts, where the gather asks for value blocks ahead: a restored
    # value first, where the asking groups end, and last.
    + ["r" + "p" * 39, "p" * 4 + "r" + "p" * 32, "p" * 36 + "r", "p" * 39 + "r"],
)
def test_each_dep_layout_passes_held_objects_and_new_restored_ones(layout):
    from korvalinth import restore_graph, restore_registry

    original = Graph()
    original.state({"k": [1, 2.5]}, name="j")
    graph = restore_graph(original.checkpoint(), restore_registry([]))
    restored = graph._find("j")
    held = {i: Marker() for i, kind in enumerate(layout) if kind == "p"}
    deps = [graph.state(held[i]) if kind == "p" else restored for i, kind in enumerate(layout)]
    calls = []
    node = graph.derived(deps, lambda *args: calls.append(args) or len(args))
    seen, sub = watched(node)
    ((args,),) = [calls]
    assert len(args) == len(layout) and node.cache() == len(layout)
    for i, arg in enumerate(args):
        if i in held:
            assert arg is held[i]
        else:
            assert arg == {"k": [1, 2.5]}
    assert len({id(arg) for arg in args}) == len(args)


def settle_deps(kind, outcome, restored, count):
    """What a derived or effect over `count` deps shows when its callback
    gives `outcome` on activation; the deps hold Python objects or a
    restored value."""
    from korvalinth import restore_graph, restore_registry

    if restored:
        original = Graph()
        original.state(1, name="j")
        graph = restore_graph(original.checkpoint(), restore_registry([]))
        deps = [graph._find("j")] * count
    else:
        graph = Graph()
        deps = [graph.state(1) for _ in range(count)]
    returned, calls = [], []

    def callback(*values):
        calls.append(values)
        if outcome == "error":
            raise ValueError("bad")
        if outcome == "fatal":
            raise Fatal("stop")
        if outcome == "none":
            return None
        returned.append(Marker())
        return returned[-1]

    node = getattr(graph, kind)(deps, callback)
    seen = []

    def subscriber(k, payload):
        seen.append((k, "returned" if returned and payload is returned[0] else payload))

    try:
        sub = node.subscribe(subscriber)
        raised = None
    except Fatal as e:
        raised = str(e)
    alive = [weakref.ref(r) for r in returned]
    returned.clear()
    return seen, raised, node.status(), [ref() is not None for ref in alive], calls


# One or two deps holding Python objects take a lighter road than restored
# values: both settle every outcome alike.
@pytest.mark.parametrize("count", [1, 2])
@pytest.mark.parametrize("kind", ["derived", "effect"])
@pytest.mark.parametrize("outcome", ["value", "none", "error", "fatal"])
def test_one_or_two_deps_settle_alike_on_either_road(kind, outcome, count):
    held = settle_deps(kind, outcome, False, count)
    assert held == settle_deps(kind, outcome, True, count)
    seen, raised, status, alive, calls = held
    assert calls == [(1,) * count]
    assert raised == ("stop" if outcome == "fatal" else None)
    if outcome == "error":
        assert seen[-1] == ("ERROR", "ValueError: bad") and status == "errored"
    if outcome in ("value", "none") and kind == "derived":
        assert seen[-1] == ("DATA", "returned" if outcome == "value" else None)
        assert alive == ([True] if outcome == "value" else [])
    # An effect's result is dropped at once.
    assert kind == "derived" or alive == [False] * len(alive)


def test_values_made_on_short_lived_threads_are_released():
    from conftest import run_in_thread

    def chain_on_thread():
        graph = Graph()
        head = graph.state(0)
        nodes = [graph.derived([head], lambda x, k=k: (x, k)) for k in range(300)]
        subs = [node.subscribe(lambda kind, payload: None) for node in nodes]
        for value in range(3):
            head.set(value)
        return [node.cache() for node in nodes[::100]]

    for _ in range(2):
        assert run_in_thread(chain_on_thread) == {"value": [(2, 0), (2, 100), (2, 200)]}


def test_derived_returning_none_emits_none_and_passes_objects_through():
    graph = Graph()
    value = Marker()
    a = graph.state(value)
    passed = graph.derived([a], lambda v: v)
    nothing = graph.derived([a], lambda v: None)
    seen_p, sub_p = watched(passed)
    seen_n, sub_n = watched(nothing)
    assert passed.cache() is value
    assert seen_n == [("START", None), ("DATA", None)] and nothing.cache_entry() == (True, None)


def test_empty_deps_call_the_callback_without_arguments():
    graph = Graph()
    calls = []
    derived = graph.derived([], lambda *args: calls.append(("derived", args)) or "d")
    effect = graph.effect((), lambda *args: calls.append(("effect", args)))
    seen_d, sub_d = watched(derived)
    seen_e, sub_e = watched(effect)
    assert calls == [("derived", ()), ("effect", ())]
    assert derived.cache() == "d" and seen_e == [("START", None)]


def test_a_dep_without_a_value_is_an_error_before_the_call():
    graph = Graph()
    a = graph.state(1)
    b = graph.state(2)
    calls = []
    node = graph.derived([a, b], lambda x, y: calls.append((x, y)))
    seen, sub = watched(node)
    b.invalidate()
    assert a.set(3) is None
    assert calls == [(1, 2)]
    assert seen[-1] == ("ERROR", ABSENT) and node.status() == "errored"


def test_effect_discards_its_return_value_at_once():
    graph = Graph()
    a = graph.state(1)
    returned = []

    def callback(value):
        marker = Marker()
        returned.append(weakref.ref(marker))
        return marker

    effect = graph.effect([a], callback)
    seen, sub = watched(effect)
    a.set(2)
    gc.collect()
    assert [ref() for ref in returned] == [None, None]
    assert [kind for kind, _ in seen if kind == "DATA"] == [] and effect.cache_entry() == (False, None)


def test_one_subscription_to_a_node_over_effects_keeps_them_all_active():
    graph = Graph()
    a = graph.state(0)
    got = [[] for _ in range(3)]
    effects = [graph.effect([a], values.append) for values in got]
    keep_alive = graph.effect(effects, lambda *_: pytest.fail("a node over effects ran"))
    seen, sub = watched(keep_alive)
    for value in (1, 2, 3):
        a.set(value)
    assert got == [[0, 1, 2, 3]] * 3
    # Held by its first-run gate, the keep-alive answers each update's DIRTY
    # with RESOLVED: two calls of its subscriber per update, not per effect.
    assert seen == [("START", None)] + [("DIRTY", None), ("RESOLVED", None)] * 3
    assert keep_alive.status() == "sentinel"
    del sub
    a.set(4)
    assert got == [[0, 1, 2, 3]] * 3


def test_producer_runs_on_activation_and_emits_its_return():
    graph = Graph()
    calls = []

    def callback():
        calls.append(1)
        return len(calls)

    node = graph.producer(callback, name="p")
    assert calls == []
    seen, sub = watched(node)
    assert seen == [("START", None), ("DATA", 1)]
    seen_2, sub_2 = watched(node)
    assert calls == [1] and seen_2 == [("START", None), ("DATA", 1)]
    none = graph.producer(lambda: None)
    seen_n, sub_n = watched(none)
    assert seen_n[-1] == ("DATA", None)


def test_exceptions_become_errors_or_are_raised_as_fatal():
    graph = Graph()
    a = graph.state(1)

    def fails(value):
        if value == 2:
            raise ValueError("bad")
        return value

    derived = graph.derived([a], fails)
    effect = graph.effect([a], fails)
    seen_d, sub_d = watched(derived)
    seen_e, sub_e = watched(effect)
    assert a.set(2) is None
    assert seen_d[-1] == ("ERROR", "ValueError: bad") and seen_e[-1] == ("ERROR", "ValueError: bad")

    fatal = Fatal()
    producer = graph.producer(lambda: (_ for _ in ()).throw(fatal))
    with pytest.raises(Fatal) as info:
        producer.subscribe(lambda kind, payload: None)
    assert info.value is fatal
    assert graph.raise_pending_fatal() is None

    b = graph.state(1)
    interrupt = KeyboardInterrupt()

    def interrupts(value):
        if value == 2:
            raise interrupt

    seen_i, sub_i = watched(graph.effect([b], interrupts))
    with pytest.raises(KeyboardInterrupt) as info:
        b.set(2)
    assert info.value is interrupt


def test_a_non_callable_callback_fails_when_the_node_runs():
    graph = Graph()
    node = graph.derived([graph.state(1)], 42)
    producer = graph.producer("not callable")
    seen, sub = watched(node)
    seen_p, sub_p = watched(producer)
    assert seen[-1][0] == "ERROR" and seen[-1][1].startswith("TypeError: ")
    assert seen_p[-1][0] == "ERROR" and seen_p[-1][1].startswith("TypeError: ")


def test_ids_and_argument_errors():
    graph = Graph()
    a = graph.state(1, name="a")
    graph.derived([a], abs)
    graph.effect([a], abs, name=None)
    graph.producer(int)
    for id in ("derived#0", "effect#1", "producer#2"):
        assert graph._find(id) is not None
    with pytest.raises(TypeError) as info:
        graph.derived([a], abs, name=1)
    assert info.value.__notes__ == ["while processing 'name'"]
    with pytest.raises(TypeError) as info:
        graph.effect([a, 1], abs)
    assert str(info.value) == "'int' object is not an instance of 'Node'"
    assert info.value.__notes__ == ["while processing 'deps'"]
    with pytest.raises(TypeError, match=r"^Graph.producer\(\) missing 1 required positional argument: 'callback'$"):
        graph.producer()
    with pytest.raises(RuntimeError) as info:
        graph.derived([Graph().state(1)], abs)
    assert str(info.value) == "derived dep belongs to a different graph; cross-graph deps require a wire bridge"
    with pytest.raises(RuntimeError) as info:
        graph.effect([Graph().state(1)], abs)
    assert str(info.value).startswith("effect dep belongs to a different graph")


# A run with many deps calls into another graph whose run has many deps: each
# run's arguments stay its own, whichever of the two is the larger.
@pytest.mark.parametrize("outer_count, inner_count", [(5, 9), (9, 5), (6, 6)])
def test_nested_runs_with_many_deps_each_get_their_own_arguments(outer_count, inner_count):
    inner_graph, outer_graph = Graph(), Graph()
    inner_states = [inner_graph.state(i) for i in range(inner_count)]
    inner_calls = []
    inner = inner_graph.derived(inner_states, lambda *args: inner_calls.append(args) or sum(args))
    inner_seen, inner_sub = watched(inner)
    outer_states = [outer_graph.state(100 + i) for i in range(outer_count)]
    outer_calls = []

    def outer_callback(*args):
        inner_states[0].set(len(outer_calls) + 1)
        outer_calls.append(args)
        return sum(args)

    outer = outer_graph.derived(outer_states, outer_callback)
    outer_seen, outer_sub = watched(outer)
    outer_states[-1].set(1000)
    expected_outer = [tuple(range(100, 100 + outer_count))]
    expected_outer.append(expected_outer[0][:-1] + (1000,))
    assert outer_calls == expected_outer
    assert inner_calls == [tuple(range(inner_count))] + [(n,) + tuple(range(1, inner_count)) for n in (1, 2)]
    assert outer_seen[-1] == ("DATA", sum(expected_outer[-1]))
    assert inner_seen[-1] == ("DATA", 2 + sum(range(1, inner_count)))


# A callback may be an instance of a class that defines __call__: each run
# calls it just as Python's own call would, whatever the class or the
# instance changed since the node was built, and building the node runs no
# code of the class's metaclass.
def _callable_instance(case, asked):
    def method(tag):
        return lambda self, *values: (tag, values)

    def raising(self, *values):
        raise ValueError("bad")

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__dictoffset__":
                asked.append(name)
            return super().__getattribute__(name)

    slotted = type("Slotted", (), {"__slots__": (), "__call__": method("class")})
    other = type("Other", (), {"__slots__": (), "__call__": method("other")})
    with_dict = type("WithDict", (), {"__call__": method("class")})
    static = type("Static", (), {"__slots__": (), "__call__": staticmethod(lambda *values: ("static", values))})
    member = type("Member", (), {"__slots__": ("__call__",)})

    def member_instance():
        obj = member()
        obj.__call__ = lambda *values: ("member", values)
        return obj

    def refuse(self, name):
        raise AttributeError(name)

    changes = {
        "replaced": lambda obj: setattr(type(obj), "__call__", method("replaced")),
        "deleted": lambda obj: delattr(type(obj), "__call__"),
        "getattribute": lambda obj: setattr(type(obj), "__getattribute__", refuse),
        "switched": lambda obj: setattr(obj, "__class__", other),
        "instance attribute": lambda obj: setattr(obj, "__call__", lambda *values: ("instance", values)),
    }
    makes = {
        "instance attribute": with_dict,
        "staticmethod": static,
        "slot member": member_instance,
        "raises": type("Raising", (), {"__slots__": (), "__call__": raising}),
        "metaclass": Meta("WithMeta", (), {"__slots__": (), "__call__": method("meta")}),
    }
    return makes.get(case, slotted), changes.get(case)


def _outcome_of(call):
    try:
        return ("DATA", call())
    except Exception as e:
        return ("ERROR", f"{type(e).__name__}: {e}")


@pytest.mark.parametrize("count", [1, 2])
@pytest.mark.parametrize(
    "case",
    ["class", "replaced", "deleted", "getattribute", "switched", "instance attribute", "staticmethod",
     "slot member", "raises", "metaclass"],
)
def test_callable_instances_are_called_as_python_calls_them(case, count):
    asked = []
    make, change = _callable_instance(case, asked)
    graph = Graph()
    states = [graph.state(k) for k in range(count)]
    obj = make()
    node = graph.derived(states, obj)
    seen, sub = watched(node)
    if change is not None:
        change(obj)
    states[0].set(7)
    values = (7,) + tuple(range(1, count))
    assert seen[-1] == _outcome_of(lambda: obj(*values)) and asked == []
