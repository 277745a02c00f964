"""The graph-operation guard, the pending fatal slot and the classification
of callback exceptions, driven through the test module _kit_probe: a Probe
owns one pending fatal slot and runs guarded operations on it."""

import pytest


class Fatal(BaseException):
    pass


def raiser(exception):
    def callback():
        raise exception

    return callback


def test_faults_become_runtime_errors(kit_probe):
    probe = kit_probe.make_probe()
    cases = {
        "fault": "rewire: self-dependency rejected (R-rewire / D42)",
        "std": "std failure",
        "untexted": "graph operation panicked",
        "int": "graph operation panicked",
    }
    for how, text in cases.items():
        with pytest.raises(RuntimeError) as info:
            probe.fail(how)
        assert type(info.value) is RuntimeError
        assert str(info.value) == text
    assert probe.fail("nothing") is None


def test_a_fault_kept_by_a_destructor_is_raised_after_the_operation(kit_probe):
    probe = kit_probe.make_probe()
    with pytest.raises(RuntimeError, match="^kept by a destructor$"):
        probe.fail("kept")
    # Raised once: the next operation runs clean.
    assert probe.fail("nothing") is None


def test_abort_without_a_pending_fatal(kit_probe):
    with pytest.raises(RuntimeError, match="^host boundary abort without pending fatal$"):
        kit_probe.make_probe().fail("abort")


def test_abort_raises_the_recorded_exception_once(kit_probe):
    probe = kit_probe.make_probe()
    stored = Fatal("first")
    probe.record(stored)
    # The pre-drain raises it before the operation runs.
    with pytest.raises(Fatal) as info:
        probe.fail("abort")
    assert info.value is stored
    assert probe.raise_pending() is None


def test_pre_drain_stops_the_operation(kit_probe):
    probe = kit_probe.make_probe()
    calls = []
    stored = KeyboardInterrupt()
    probe.record(stored)
    with pytest.raises(KeyboardInterrupt) as info:
        probe.call(lambda: calls.append(1))
    assert info.value is stored
    assert calls == []
    assert probe.call(lambda: calls.append(2)) is None
    assert calls == [2]


def test_post_drain_raises_what_the_operation_recorded(kit_probe):
    probe = kit_probe.make_probe()
    stored = SystemExit(3)
    result = object()

    def operation():
        probe.record(stored)
        return result

    with pytest.raises(SystemExit) as info:
        probe.call(operation)
    assert info.value is stored
    assert probe.raise_pending() is None


def test_first_recorded_exception_wins(kit_probe):
    probe = kit_probe.make_probe()
    first, second = Fatal("first"), Fatal("second")
    probe.record(first)
    probe.record(second)
    with pytest.raises(Fatal) as info:
        probe.raise_pending()
    assert info.value is first
    assert probe.raise_pending() is None


def test_python_exception_of_the_operation_passes_unchanged(kit_probe):
    error = LookupError("x")
    with pytest.raises(LookupError) as info:
        kit_probe.make_probe().call(raiser(error))
    assert info.value is error


def test_host_boundary_depth_is_raised_around_the_operation(kit_probe):
    probe = kit_probe.make_probe()
    assert kit_probe.depth() == 0
    assert probe.call(kit_probe.depth) == 1
    assert probe.call(lambda: probe.call(kit_probe.depth)) == 2
    with pytest.raises(RuntimeError):
        probe.fail("fault")
    with pytest.raises(RuntimeError):
        probe.fail("abort")
    assert kit_probe.depth() == 0


def test_exception_callbacks_become_error_payloads(kit_probe):
    probe = kit_probe.make_probe()
    assert probe.settle(lambda: 5) == ("ok", 5)
    assert probe.settle(raiser(ValueError("bad"))) == (
        "error",
        "ValueError: bad",
        'PyCallbackError { message: "ValueError: bad" }',
    )
    assert probe.settle(raiser(KeyError("k")))[1] == "KeyError: 'k'"
    assert probe.settle(raiser(RuntimeError()))[1] == "RuntimeError: "
    assert probe.raise_pending() is None


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(0), GeneratorExit(), Fatal("f")])
def test_base_exception_callbacks_abort_and_are_raised_by_the_guard(kit_probe, exception):
    probe = kit_probe.make_probe()
    with pytest.raises(BaseException) as info:
        probe.settle(raiser(exception))
    assert info.value is exception
    assert probe.raise_pending() is None


def test_panic_exception_of_a_callback_is_fatal(kit_probe):
    probe = kit_probe.make_probe()

    def callback():
        kit_probe.fault_outside_guard("inner")

    with pytest.raises(BaseException) as info:
        probe.settle(callback)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "inner"


def test_nested_abort_reaches_the_outer_guard_once(kit_probe):
    probe = kit_probe.make_probe()
    inner = KeyboardInterrupt("inner")
    # The inner guard takes the stored exception and raises it into the outer
    # callback, which lets it propagate: the outer settle records it again.
    with pytest.raises(KeyboardInterrupt) as info:
        probe.settle(lambda: probe.settle(raiser(inner)))
    assert info.value is inner
    assert probe.raise_pending() is None


def test_exception_message_forms(kit_probe, unraisable):
    message = kit_probe.exception_message
    assert message(ValueError("bad")) == "ValueError: bad"
    assert message(ValueError()) == "ValueError: "

    class Custom(Exception):
        pass

    Custom.__qualname__ = "Outer.Custom"
    assert message(Custom("c")) == "Custom: c"
    assert message(ValueError("\ud800")) == "ValueError: \ufffd\ufffd\ufffd"

    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no str")

    assert unraisable == []
    assert message(Unprintable()) == "Unprintable: <unprintable Unprintable object>"
    assert len(unraisable) == 1
    assert isinstance(unraisable[0].exc_value, RuntimeError)
