"""The binding kit's entry, driven through the test module _kit_probe.

echo's signature is (a, /, b, c=None, *, d, e=False), so that every argument
matching error of the entry can be produced."""

import inspect
import os
import subprocess
import sys

import pytest

from conftest import run_in_thread


def test_matching_fills_defaults_and_keywords(kit_probe):
    assert kit_probe.echo(1, 2, d=4) == (1, 2, None, 4, False)
    assert kit_probe.echo(1, b=2, c=3, d=4, e=5) == (1, 2, 3, 4, 5)
    assert kit_probe.echo(1, 2, 3, e=True, d=None) == (1, 2, 3, None, True)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {"d": 1}, "echo() missing 2 required positional arguments: 'a' and 'b'"),
        ((1,), {"d": 1}, "echo() missing 1 required positional argument: 'b'"),
        ((1, 2), {}, "echo() missing 1 required keyword argument: 'd'"),
        ((1, 2, 3, 4), {"d": 1}, "echo() takes from 2 to 3 positional arguments but 4 were given"),
        ((1, 2), {"b": 3, "d": 1}, "echo() got multiple values for argument 'b'"),
        ((1, 2), {"d": 1, "z": 1}, "echo() got an unexpected keyword argument 'z'"),
        ((), {"a": 1, "b": 2, "d": 3}, "echo() got some positional-only arguments passed as keyword arguments: 'a'"),
    ],
)
def test_matching_errors(kit_probe, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        kit_probe.echo(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, given",
    [
        ((1,), {}, (True, False, False, False)),
        ((1, 2), {}, (True, True, False, False)),
        ((1, 2, 3, 4), {}, (True, True, True, True)),
        ((1, None, True), {}, (True, True, True, False)),
        ((1,), {"c": 3}, (True, False, True, False)),
        ((), {"a": 1, "d": 4}, (True, False, False, True)),
    ],
)
def test_positional_and_keyword_calls_match_alike(kit_probe, args, kwargs, given):
    # A call of positional arguments alone is matched without the general
    # rules; it must give what the same arguments given by keyword give.
    names = ("a", "b", "c", "d")
    values = dict(zip(names, (None, None, True, False)))
    values.update(zip(names, args), **kwargs)
    as_keywords = {name: values[name] for name, flag in zip(names, given) if flag}
    expected = (tuple(values[name] for name in names), given)
    assert kit_probe.echo_given(*args, **kwargs) == expected
    assert kit_probe.echo_given(**as_keywords) == expected


def test_too_many_positionals_is_reported_before_keyword_problems(kit_probe):
    with pytest.raises(TypeError, match="takes from 2 to 3 positional arguments but 5 were given"):
        kit_probe.echo(1, 2, 3, 4, 5, z=1)


def test_unexpected_keyword_with_an_unencodable_name(kit_probe):
    with pytest.raises(TypeError) as info:
        kit_probe.echo(1, 2, d=1, **{"\ud800x": 1})
    assert str(info.value) == "echo() got an unexpected keyword argument '\ufffd\ufffd\ufffdx'"


def test_text_signatures(kit_probe):
    assert kit_probe.echo.__text_signature__ == "(a, /, b, c=None, *, d, e=False)"
    assert str(inspect.signature(kit_probe.echo)) == "(a, /, b, c=None, *, d, e=False)"
    assert kit_probe.echo.__doc__ is None
    assert kit_probe.depth.__text_signature__ == "()"
    assert kit_probe.Probe.record.__text_signature__ == "($self, exception)"
    assert kit_probe.Probe.raise_pending.__text_signature__ == "($self)"
    assert kit_probe.Probe.__doc__ is None


def test_conversion_error_keeps_its_type_and_gains_a_note(kit_probe):
    assert kit_probe.optional_str() is None
    assert kit_probe.optional_str("x") == "x"
    with pytest.raises(TypeError) as info:
        kit_probe.optional_str(value=[])
    assert str(info.value) == "'list' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'value'"]
    with pytest.raises(UnicodeEncodeError) as info:
        kit_probe.optional_str("\ud800")
    assert info.value.__notes__ == ["while processing 'value'"]


def test_faults_escaping_a_method_are_panic_exceptions(kit_probe):
    with pytest.raises(BaseException) as info:
        kit_probe.fault_outside_guard("boom")
    panic = type(info.value)
    assert panic.__name__ == "PanicException" and panic.__module__ == "pyo3_runtime"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert info.value.args == ("boom",)

    with pytest.raises(panic) as info:
        kit_probe.fault_outside_guard(None)
    assert str(info.value) == "panic occurred in native code"

    with pytest.raises(panic) as info:
        kit_probe.abort_outside_guard()
    assert str(info.value) == "host boundary abort requested outside a native host boundary (D431)"


def test_classes_without_constructor_cannot_be_instantiated(kit_probe):
    with pytest.raises(TypeError, match="cannot create '_kit_probe.Probe' instances"):
        kit_probe.Probe()
    with pytest.raises(TypeError):
        object.__new__(kit_probe.Probe)
    assert isinstance(kit_probe.make_probe(), kit_probe.Probe)


def test_methods_and_getters_check_the_creating_thread(kit_probe):
    probe = kit_probe.make_probe()
    for use in (probe.raise_pending, lambda: probe.shares):
        raised = run_in_thread(use)["raised"]
        assert type(raised).__name__ == "PanicException"
        assert str(raised) == "_kit_probe::Probe is unsendable, but sent to another thread"
    assert probe.shares == 1


def test_objects_of_an_ended_thread_are_refused_on_every_later_thread(kit_probe, unraisable):
    # A new thread often gets the system id of one that has ended.
    probe = run_in_thread(kit_probe.make_probe)["value"]
    refused = [type(run_in_thread(lambda: probe.shares).get("raised")).__name__ for _ in range(20)]
    assert refused == ["PanicException"] * 20
    del probe
    dropped = "_kit_probe::Probe is unsendable, but is being dropped on another thread"
    assert dropped in [str(u.exc_value) for u in unraisable]


def test_probe_dropped_on_its_own_thread_is_not_reported(kit_probe, unraisable):
    # Made and dropped on the same (other) thread.
    assert run_in_thread(lambda: kit_probe.make_probe().shares) == {"value": 1}
    assert unraisable == []


def test_the_gil_guard_leaves_a_finalized_interpreter_alone(kit_probe):
    # Asking a finalized interpreter for the GIL crashes the process.
    code = "import _kit_probe; _kit_probe.guard_after_finalization()"
    env = {**os.environ, "PYTHONPATH": os.path.dirname(kit_probe.__file__)}
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "guard not held\n")


def test_an_object_the_collector_finalized_refuses_every_call(kit_probe, unraisable):
    # The collector finalizes an object by ending its record as its drop
    # would: a finalized Subscription has detached its sink, and every later
    # call on a finalized object is refused, never run on what is left of it.
    graph = kit_probe.graph()
    node = graph.state(1)
    seen = []
    sub = node.subscribe(lambda kind, payload: seen.append(kind))
    kit_probe.collector_finalize(sub)
    node.set(2)
    assert seen == ["START", "DATA"]
    kit_probe.collector_finalize(graph)
    for call in (sub.unsubscribe, graph.describe, lambda: graph.state(1)):
        with pytest.raises(RuntimeError,
                           match=r"^_native::Py(Subscription|Graph) was finalized by the cycle collector$"):
            call()
    assert node.cache() == 2
    kit_probe.collector_finalize(node)
    with pytest.raises(RuntimeError, match=r"^_native::PyNode was finalized by the cycle collector$"):
        node.set(3)
    del sub, graph, node
    assert unraisable == []
