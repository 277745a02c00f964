"""The canonical protobuf check functions, cross-checked against the protobuf
package (wire_protobuf.py): protobuf's deterministic form of a valid message
is ours byte for byte and reads back to the same fields; what protobuf reads
but the canonical form refuses on purpose gets our verdict; any bytes give a
verdict, never an exception."""

import pytest
from hypothesis import given, settings, strategies as st

from korvalinth import _native
from wire_protobuf import PAYLOAD_CASES, WireBridgeEnvelope as Envelope, WireEdgeFrame as Frame, envelope, parse, \
    serialize

U64, TEXTS = st.integers(1, 2**64 - 1), st.text(min_size=1, max_size=6)
FRAMES = st.builds(lambda kind, value, **ids: Frame(kind=kind, **ids, **({"value": value} if kind == 2 else {})),
                   st.sampled_from([1, 2]), st.binary(max_size=6), edge_id=TEXTS, cause_id=TEXTS)


@st.composite
def envelopes(draw):
    case = draw(st.sampled_from(PAYLOAD_CASES))
    message = envelope(draw(U64), case, session=draw(TEXTS), max_attempts=draw(st.integers(1, 2**32 - 1)), raw=False)
    m = message.metadata
    m.cursor, m.idempotency_key, m.attempt = draw(st.integers(0, 2**64 - 1)), draw(TEXTS), draw(
        st.integers(1, m.max_attempts))
    for name, values in [("sent_at", U64), ("ack_for_seq", U64), ("request_id", TEXTS)]:
        if (name == "ack_for_seq" and case in ("ack", "nack")) or draw(st.booleans()):
            setattr(m, name, draw(values))
    if case == "data" and draw(st.booleans()):
        message.data.frame.CopyFrom(draw(FRAMES))
    elif case in ("data", "status", "error") or (case in ("nack", "close") and draw(st.booleans())):
        getattr(message, case).bytes = draw(st.binary(min_size=case != "data", max_size=6))
    return message


def verdicts(data, kind):
    validation = getattr(_native, f"_validate_canonical_wire_{kind}")(data)
    result = getattr(_native, f"_roundtrip_canonical_wire_{kind}")(data)
    assert type(validation).__name__ == "CanonicalProtobufValidation"
    assert (validation.ok, validation.category, validation.message) == (result.ok, result.category, result.message)
    assert (result.bytes == data) if result.ok else (result.bytes is None and result.category is not None)
    return validation


CODECS = {"edge_frame": (Frame, FRAMES), "bridge_envelope": (Envelope, envelopes())}


@pytest.mark.parametrize("kind", sorted(CODECS))
def test_deterministic_protobuf_is_canonical_and_whatever_we_accept_protobuf_writes_again(kind):
    cls, messages = CODECS[kind]

    # Valid bytes, then with one byte changed, inserted or dropped, and random bytes.
    @settings(max_examples=300, deadline=None)
    @given(messages, st.integers(0, 2**16), st.binary(min_size=1, max_size=1), st.sampled_from([0, 1]),
           st.binary(max_size=24))
    def check(message, where, byte, replace, noise):
        data = serialize(message)
        assert verdicts(data, kind).ok and parse(cls, data) == message
        i = where % (len(data) + 1)
        for changed in (data[:i] + byte + data[i + replace:], data[:i] + data[i + 1:], noise):
            validation = verdicts(changed, kind)
            assert serialize(parse(cls, changed)) == changed if validation.ok else validation.message.startswith(
                validation.category + ": ")

    check()


START = envelope(1, "start", max_attempts=1)
SESSION_END = 2 + START[1]
METADATA_END = SESSION_END + 2 + START[SESSION_END + 1]
DATA_FRAME = serialize(Frame(kind=2, edge_id="e", cause_id="c"))


def changed(change):
    message = envelope(1, "start", max_attempts=1, raw=False)
    change(message)
    return serialize(message)


# Bytes protobuf reads without complaint that the canonical form refuses on
# purpose: defaults written for optional fields,
# the envelope's semantic rules, unknown fields, and any byte
# form but the deterministic one.
@pytest.mark.parametrize("data, kind, category, message", [
    (changed(lambda e: setattr(e.metadata, "sent_at", 0)), "bridge_envelope", "default_emission",
     "optional metadata default value was emitted"),
    (changed(lambda e: setattr(e.metadata, "attempt", 2)), "bridge_envelope", "missing_required",
     "WireBridgeEnvelope required semantics are invalid"),
    (START + b"\x50\x00", "bridge_envelope", "unknown_field", "WireBridgeEnvelope contains unknown field 10"),
    (START[SESSION_END:METADATA_END] + START[:SESSION_END] + START[METADATA_END:], "bridge_envelope",
     "noncanonical_bytes", "WireBridgeEnvelope bytes are not canonical deterministic protobuf"),
    (DATA_FRAME, "edge_frame", "invalid_wire_edge", "DATA WireEdgeFrame requires value"),
    (b"\x08\x82\x00" + DATA_FRAME[2:] + b"\x22\x00", "edge_frame", "noncanonical_bytes",
     "WireEdgeFrame bytes are not canonical deterministic protobuf"),
])
def test_what_protobuf_reads_and_the_canonical_form_refuses(data, kind, category, message):
    parse(CODECS[kind][0], data)
    validation = verdicts(data, kind)
    assert (validation.ok, validation.category, validation.message) == (False, category, f"{category}: {message}")


@pytest.mark.parametrize("function", [name for name in _native.__all__ if "canonical" in name])
def test_argument_rules(function):
    function, data = getattr(_native, function), START if "envelope" in function else DATA_FRAME + b"\x22\x00"
    assert function.__text_signature__ == "(bytes)"
    assert function(type("Subclass", (bytes,), {})(data)).ok and function(bytes=data).ok
    for value, text in [(bytearray(data), "'bytearray' object"), (None, "'None'")]:
        with pytest.raises(TypeError, match=f"^{text} is not an instance of 'bytes'") as raised:
            function(value)
        assert raised.value.__notes__ == ["while processing 'bytes'"]
    with pytest.raises(TypeError, match=r"takes 1 positional arguments but 2 were given$"):
        function(data, data)
    if "roundtrip" in function.__name__:
        result = function(data)
        assert result.bytes == result.bytes and result.bytes is not result.bytes
