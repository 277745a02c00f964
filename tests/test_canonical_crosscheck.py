"""Our canonical codecs against the protobuf package, from descriptors
transcribed from the wire's tables (wire_protobuf.py): what protobuf writes
deterministically for a valid message we accept and write back byte for
byte; what we write, protobuf reads to the same fields; where protobuf
accepts what the canonical form refuses, the verdict is ours on purpose."""

import pytest
from hypothesis import given, settings, strategies as st

from korvalinth._native import (
    _roundtrip_canonical_wire_bridge_envelope as roundtrip_envelope,
    _roundtrip_canonical_wire_edge_frame as roundtrip_frame,
    _validate_canonical_wire_bridge_envelope as validate_envelope,
    _validate_canonical_wire_edge_frame as validate_frame,
)
from wire_protobuf import PAYLOAD_CASES, WireBridgeEnvelope, WireEdgeFrame, envelope_message, parse, serialize

U64 = st.integers(1, 2**64 - 1)
TEXTS = st.text(min_size=1, max_size=6)
VALUES = st.binary(max_size=6)


@st.composite
def frames(draw):
    frame = WireEdgeFrame(kind=draw(st.sampled_from([1, 2])), edge_id=draw(TEXTS), cause_id=draw(TEXTS))
    if frame.kind == 2:
        frame.value = draw(VALUES)
    return frame


@st.composite
def envelopes(draw):
    envelope = WireBridgeEnvelope(session_id=draw(TEXTS))
    m = envelope.metadata
    m.seq, m.cursor, m.idempotency_key = draw(U64), draw(st.integers(0, 2**64 - 1)), draw(TEXTS)
    m.max_attempts = draw(st.integers(1, 2**32 - 1))
    m.attempt = draw(st.integers(1, m.max_attempts))
    case = draw(st.sampled_from(PAYLOAD_CASES))
    if draw(st.booleans()):
        m.sent_at = draw(U64)
    if case in ("ack", "nack") or draw(st.booleans()):
        m.ack_for_seq = draw(U64)
    if draw(st.booleans()):
        m.request_id = draw(TEXTS)
    payload = getattr(envelope, case)
    payload.SetInParent()
    if case == "data":
        if draw(st.booleans()):
            payload.bytes = draw(VALUES)
        else:
            payload.frame.CopyFrom(draw(frames()))
    elif case in ("status", "error") or (case in ("nack", "close") and draw(st.booleans())):
        payload.bytes = draw(st.binary(min_size=1, max_size=6))
    return envelope


CODECS = {
    "frame": (WireEdgeFrame, frames(), validate_frame, roundtrip_frame),
    "envelope": (WireBridgeEnvelope, envelopes(), validate_envelope, roundtrip_envelope),
}


@pytest.mark.parametrize("codec", sorted(CODECS))
def test_deterministic_protobuf_is_canonical_and_round_trips(codec):
    cls, messages, validate, roundtrip = CODECS[codec]

    @settings(max_examples=300, deadline=None)
    @given(messages)
    def check(message):
        data = serialize(message)
        assert validate(data).ok, validate(data).message
        written = roundtrip(data).bytes
        assert written == data
        assert parse(cls, written) == message  # what our encoder wrote reads back to the same fields

    check()


@pytest.mark.parametrize("codec", sorted(CODECS))
def test_what_we_accept_protobuf_writes_again_unchanged(codec):
    # Valid bytes with one byte changed, inserted or dropped: whatever we
    # still accept must be protobuf's own deterministic form of its fields.
    cls, messages, validate, _ = CODECS[codec]

    @settings(max_examples=300, deadline=None)
    @given(messages, st.integers(0, 2**16), st.integers(0, 255), st.sampled_from(["set", "insert", "drop"]))
    def check(message, where, byte, how):
        data = bytearray(serialize(message))
        i = where % (len(data) + 1)
        if how == "insert":
            data[i:i] = bytes([byte])
        elif i < len(data):
            data[i:i + 1] = b"" if how == "drop" else bytes([byte])
        data = bytes(data)
        if validate(data).ok:
            assert serialize(parse(cls, data)) == data

    check()


def envelope_with(change, case="start"):
    message = envelope_message(1, case, max_attempts=1, ack_for_seq=1 if case in ("ack", "nack") else None)
    change(message)
    return serialize(message)


def metadata_first(data):
    session_end = 2 + data[1]
    metadata_end = session_end + 2 + data[session_end + 1]
    return data[session_end:metadata_end] + data[:session_end] + data[metadata_end:]


START = envelope_with(lambda e: None)
DATA_FRAME = WireEdgeFrame(kind=2, edge_id="e", cause_id="c")

# Bytes protobuf reads without complaint that the canonical form refuses on
# purpose: defaults written for optional fields, missing required fields,
# the envelope's semantic rules, unknown and repeated fields, any byte form
# but the deterministic one, and uint32 fields beyond 32 bits (which
# protobuf truncates).
STRICTER = [
    ("sent_at 0 written", envelope_with(lambda e: setattr(e.metadata, "sent_at", 0)), "default_emission"),
    ("empty nack bytes written", envelope_with(lambda e: setattr(e.nack, "bytes", b""), "nack"), "default_emission"),
    ("no seq", envelope_with(lambda e: e.metadata.ClearField("seq")), "missing_required"),
    ("attempt above max_attempts", envelope_with(lambda e: setattr(e.metadata, "attempt", 2)), "missing_required"),
    ("unknown field 10", START + bytes.fromhex("5000"), "unknown_field"),
    ("session id twice", START + serialize(WireBridgeEnvelope(session_id="t")), "duplicate_singular"),
    ("fields out of order", metadata_first(START), "noncanonical_bytes"),
    ("attempt beyond uint32", START[:4] + bytes([START[4] + 4]) + START[5:].replace(
        bytes.fromhex("20 01"), bytes.fromhex("20 81 80 80 80 10")), "malformed"),
    ("frame: DATA without value", serialize(DATA_FRAME), "invalid_wire_edge"),
    ("frame: kind as an over-long varint", bytes.fromhex("08 82 00") + serialize(DATA_FRAME)[2:] + b"\x22\x00",
     "noncanonical_bytes"),
]


@pytest.mark.parametrize("what, data, category", STRICTER, ids=[row[0] for row in STRICTER])
def test_what_protobuf_accepts_and_the_canonical_form_refuses(what, data, category):
    cls, validate = (WireEdgeFrame, validate_frame) if what.startswith("frame") else (WireBridgeEnvelope, validate_envelope)
    parse(cls, data)
    assert validate(data).category == category
