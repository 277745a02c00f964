"""The canonical protobuf check functions: verdicts as result objects, one
row per kind of verdict (the codec's own cases are the C++ tests'), the
argument rules, and random bytes."""

import pytest
from hypothesis import given, settings, strategies as st

from korvalinth import _native
from korvalinth._native import (
    CanonicalProtobufRoundtrip,
    CanonicalProtobufValidation,
    _roundtrip_canonical_wire_bridge_envelope as roundtrip_envelope,
    _roundtrip_canonical_wire_edge_frame as roundtrip_frame,
    _validate_canonical_wire_bridge_envelope as validate_envelope,
    _validate_canonical_wire_edge_frame as validate_frame,
)

CATEGORIES = ["unknown_field", "duplicate_singular", "noncanonical_bytes", "invalid_oneof", "missing_required",
              "invalid_wire_edge", "default_emission", "malformed"]


def hx(text):
    return bytes.fromhex(text)


SESSION = "0A 01 73"
METADATA = "12 0B 08 01 10 00 1A 01 6B 20 01 28 01"  # seq 1, cursor 0, key "k", attempt 1 of 1
ACKING = "12 0D 08 01 10 00 1A 01 6B 20 01 28 01 38 01"  # the same with ack_for_seq 1
START = f"{SESSION} {METADATA} 1A 00"
NONCANONICAL_ENVELOPE = "WireBridgeEnvelope bytes are not canonical deterministic protobuf"

# The codec's own cases are the C++ tests'; these check how verdicts reach
# Python: one valid message and one refusal per kind of message.
ENVELOPES = [
    (START, None, None),
    (f"{SESSION} {ACKING} 32 00", None, None),
    (f"{SESSION} 12 0C 08 81 00 10 00 1A 01 6B 20 01 28 01 1A 00", "noncanonical_bytes", NONCANONICAL_ENVELOPE),
    (f"{SESSION} {METADATA} 2A 00", "missing_required", "ACK/NACK requires metadata.ack_for_seq"),
    (f"{SESSION} {METADATA} 1A 00 1A 00", "duplicate_singular", "WireBridgeEnvelope field 3 is duplicated"),
]

FRAMES = [
    ("08 02 12 01 65 1A 01 63 22 00", None, None),
    ("08 02 12 01 65 22 00 1A 01 63", "noncanonical_bytes", "WireEdgeFrame bytes are not canonical deterministic protobuf"),
    ("08 01 12 01 65 1A 01 63 22 00", "invalid_wire_edge", "DIRTY WireEdgeFrame must not carry value"),
    ("08", "malformed", "truncated varint"),
]


def check_verdicts(validate, roundtrip, data, category, message):
    validation, result = validate(data), roundtrip(data)
    assert type(validation) is CanonicalProtobufValidation and type(result) is CanonicalProtobufRoundtrip
    if category is None:
        assert (validation.ok, validation.category, validation.message) == (True, None, None)
        assert (result.ok, result.bytes, result.category, result.message) == (True, data, None, None)
    else:
        expected = (False, category, f"{category}: {message}")
        assert (validation.ok, validation.category, validation.message) == expected
        assert (result.ok, result.category, result.message) == expected and result.bytes is None


@pytest.mark.parametrize("data, category, message", ENVELOPES)
def test_envelope_verdicts(data, category, message):
    check_verdicts(validate_envelope, roundtrip_envelope, hx(data), category, message)


@pytest.mark.parametrize("data, category, message", FRAMES)
def test_frame_verdicts(data, category, message):
    check_verdicts(validate_frame, roundtrip_frame, hx(data), category, message)


def test_result_attributes():
    result = roundtrip_frame(hx(FRAMES[0][0]))
    assert result.ok is True and validate_frame(b"").ok is False
    first, second = result.bytes, result.bytes
    assert first == second and first is not second and type(first) is bytes
    with pytest.raises(AttributeError):
        result.ok = False


FUNCTIONS = [validate_envelope, validate_frame, roundtrip_envelope, roundtrip_frame]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_argument_rules(function):
    name = function.__name__
    assert function.__text_signature__ == "(bytes)"

    class Subclass(bytes):
        pass

    data = hx(START) if "envelope" in name else hx(FRAMES[0][0])
    assert function(Subclass(data)).ok and function(bytes=data).ok
    for value, text in [(bytearray(data), "'bytearray' object is not an instance of 'bytes'"),
                        (memoryview(data), "'memoryview' object is not an instance of 'bytes'"),
                        ("x", "'str' object is not an instance of 'bytes'"),
                        (None, "'None' is not an instance of 'bytes'")]:
        with pytest.raises(TypeError) as raised:
            function(value)
        assert str(raised.value) == text and raised.value.__notes__ == ["while processing 'bytes'"]
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'bytes'$"):
        function()
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes 1 positional arguments but 2 were given$"):
        function(data, data)
    with pytest.raises(TypeError, match=rf"^{name}\(\) got an unexpected keyword argument 'data'$"):
        function(data=data)


@settings(max_examples=400)
@given(st.binary(max_size=64), st.sampled_from([(validate_envelope, roundtrip_envelope),
                                                 (validate_frame, roundtrip_frame)]))
def test_random_bytes_always_give_a_verdict(data, functions):
    validate, roundtrip = functions
    validation, result = validate(data), roundtrip(data)
    assert validation.ok == result.ok
    assert (validation.category, validation.message) == (result.category, result.message)
    if result.ok:
        assert result.bytes == data and validation.category is None and validation.message is None
    else:
        assert result.bytes is None and validation.category in CATEGORIES
        assert validation.message.startswith(validation.category + ": ")
