"""Python objects as runtime values and the conversions back to Python,
driven through the test module; Node-level behaviour is in test_node.py."""

import gc
import sys

import pytest


class Marker:
    pass


def test_a_value_comes_back_as_the_very_same_object(kit_probe):
    for value in (Marker(), None, [1, 2], {1, 2}, "text", 2**80):
        assert kit_probe.value_roundtrip(value) is value


def test_values_hold_exactly_one_reference_while_alive(kit_probe):
    value = Marker()
    before = sys.getrefcount(value)
    for _ in range(1000):
        kit_probe.value_roundtrip(value)
    assert sys.getrefcount(value) == before


def test_a_value_dropped_without_the_gil_is_released_at_the_next_entry(kit_probe):
    value = Marker()
    before = sys.getrefcount(value)
    kit_probe.drop_value_off_thread(value)
    # Queued by the foreign thread; any later binding frame applies the queue.
    kit_probe.depth()
    assert sys.getrefcount(value) == before
    for _ in range(200):
        kit_probe.drop_value_off_thread(value)
    kit_probe.depth()
    assert sys.getrefcount(value) == before


def test_json_values_convert_and_foreign_values_are_refused(kit_probe):
    first = kit_probe.cached_value("json", '{"a":[1,2.5]}')
    assert first == {"a": [1, 2.5]}
    assert kit_probe.cached_value("json", '{"a":[1,2.5]}') is not first
    with pytest.raises(TypeError, match="^cached value is not owned by the Python binding foundation$"):
        kit_probe.cached_value("foreign")


def test_dep_data(kit_probe):
    a, b = Marker(), Marker()
    out = kit_probe.dep_data([a, "json:[1]", b])
    assert out[0] is a and out[1] == [1] and out[2] is b
    assert kit_probe.dep_data([]) == []


# A few deps are laid out inline, more on the heap; JSON values are made
# either way, and Python values come back as the same objects.
@pytest.mark.parametrize(
    "layout",
    [
        "pppp",
        "ppppp",
        "jjjj",
        "jjjjj",
        "pjpjpjpjpj",
        "j" * 40,
    ],
)
def test_dep_data_layouts(kit_probe, layout):
    deps = [Marker() if kind == "p" else f"json:[{i}]" for i, kind in enumerate(layout)]
    out = kit_probe.dep_data(deps)
    assert len(out) == len(deps)
    for i, (dep, got) in enumerate(zip(deps, out)):
        if isinstance(dep, Marker):
            assert got is dep
        else:
            assert got == [i]


@pytest.mark.parametrize("before", [["json:[1]"], ["json:[1]"] * 6, [Marker()] * 6])
def test_dep_data_without_data_after_made_values_is_refused(kit_probe, before):
    with pytest.raises(RuntimeError, match="^dependency DATA is absent at the Python callback boundary$"):
        kit_probe.dep_data([*before, None])


def test_dep_data_without_data_releases_what_it_gathered(kit_probe):
    a = Marker()
    before = sys.getrefcount(a)
    with pytest.raises(RuntimeError, match="^dependency DATA is absent at the Python callback boundary$"):
        kit_probe.dep_data([a, None])
    gc.collect()
    assert sys.getrefcount(a) == before


def test_checkpoint_encoder_for_python_values(kit_probe):
    assert kit_probe.checkpoint_encode({"b": [1, None], "a": True}, "$.nodes[0].value") == (
        "data",
        '{"a":true,"b":[1,null]}',
    )
    assert kit_probe.checkpoint_encode({1, 2}, "$.nodes[3].value") == (
        "error",
        "checkpoint: value at $.nodes[3].value is not strict JSON compatible: "
        "ValueError: checkpoint value is not strict JSON compatible",
    )
    assert kit_probe.checkpoint_encode(float("nan"), "$.x") == (
        "error",
        "checkpoint: value at $.x is not strict JSON compatible: ValueError: checkpoint value must be finite strict JSON",
    )
    # The writer's strict check runs on what the encoder returns.
    kind, text = kit_probe.checkpoint_encode(2**53, "$.v")
    assert kind == "error" and text.startswith("checkpoint: ")
    assert kit_probe.encoder_on_foreign_value() == (
        "checkpoint: value at $.nodes[0].value did not match registered checkpoint encoder type"
    )


def test_bytes_like(kit_probe):
    class Raw(bytes):
        pass

    assert kit_probe.bytes_like(b"") == b""
    assert kit_probe.bytes_like(b"\x00ab") == b"\x00ab"
    assert kit_probe.bytes_like(Raw(b"xy")) == b"xy"
    assert kit_probe.bytes_like(bytearray(b"z")) == b"z"
    for value in (memoryview(b"a"), "a", None, 3):
        assert kit_probe.bytes_like(value) is None
