"""The wire messages as protobuf descriptors, for cross-checking our codecs
against the protobuf package. Built in Python from the wire's descriptor
tables (no protoc). Every field has explicit presence (proto2 optional), as
the canonical form writes every set field, defaults included."""

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

_PACKAGE = "korvalinth.wire"
_F = descriptor_pb2.FieldDescriptorProto

# (message, [(number, name, type, message type or None, oneof index or None)], oneofs)
_MESSAGES = [
    ("WireEdgeFrame", [
        (1, "kind", _F.TYPE_UINT64, None, None),  # 1 DIRTY, 2 DATA
        (2, "edge_id", _F.TYPE_STRING, None, None),
        (3, "cause_id", _F.TYPE_STRING, None, None),
        (4, "value", _F.TYPE_BYTES, None, None),
    ], []),
    ("WireBridgeMetadata", [
        (1, "seq", _F.TYPE_UINT64, None, None),
        (2, "cursor", _F.TYPE_UINT64, None, None),
        (3, "idempotency_key", _F.TYPE_STRING, None, None),
        (4, "attempt", _F.TYPE_UINT32, None, None),
        (5, "max_attempts", _F.TYPE_UINT32, None, None),
        (6, "sent_at", _F.TYPE_UINT64, None, None),
        (7, "ack_for_seq", _F.TYPE_UINT64, None, None),
        (8, "request_id", _F.TYPE_STRING, None, None),
    ], []),
    ("WireBridgeDataPayload", [
        (1, "bytes", _F.TYPE_BYTES, None, 0),
        (2, "frame", _F.TYPE_MESSAGE, "WireEdgeFrame", 0),
    ], ["body"]),
    ("WireBridgeEmptyPayload", [], []),  # start, ack
    ("WireBridgeBytesPayload", [(1, "bytes", _F.TYPE_BYTES, None, None)], []),  # nack, status, error, close
    ("WireBridgeEnvelope", [
        (1, "session_id", _F.TYPE_STRING, None, None),
        (2, "metadata", _F.TYPE_MESSAGE, "WireBridgeMetadata", None),
        (3, "start", _F.TYPE_MESSAGE, "WireBridgeEmptyPayload", 0),
        (4, "data", _F.TYPE_MESSAGE, "WireBridgeDataPayload", 0),
        (5, "ack", _F.TYPE_MESSAGE, "WireBridgeEmptyPayload", 0),
        (6, "nack", _F.TYPE_MESSAGE, "WireBridgeBytesPayload", 0),
        (7, "status", _F.TYPE_MESSAGE, "WireBridgeBytesPayload", 0),
        (8, "error", _F.TYPE_MESSAGE, "WireBridgeBytesPayload", 0),
        (9, "close", _F.TYPE_MESSAGE, "WireBridgeBytesPayload", 0),
    ], ["payload"]),
]

PAYLOAD_CASES = ["start", "data", "ack", "nack", "status", "error", "close"]


def _file_descriptor():
    file = descriptor_pb2.FileDescriptorProto(name="korvalinth_wire.proto", package=_PACKAGE, syntax="proto2")
    for name, fields, oneofs in _MESSAGES:
        message = file.message_type.add(name=name)
        for oneof in oneofs:
            message.oneof_decl.add(name=oneof)
        for number, field_name, field_type, type_name, oneof in fields:
            field = message.field.add(name=field_name, number=number, label=_F.LABEL_OPTIONAL, type=field_type)
            if type_name:
                field.type_name = f".{_PACKAGE}.{type_name}"
            if oneof is not None:
                field.oneof_index = oneof
    return file


_pool = descriptor_pool.DescriptorPool()
_pool.Add(_file_descriptor())

WireEdgeFrame = message_factory.GetMessageClass(_pool.FindMessageTypeByName(f"{_PACKAGE}.WireEdgeFrame"))
WireBridgeEnvelope = message_factory.GetMessageClass(_pool.FindMessageTypeByName(f"{_PACKAGE}.WireBridgeEnvelope"))


def serialize(message):
    return message.SerializeToString(deterministic=True)


def parse(cls, data):
    message = cls()
    message.ParseFromString(data)
    return message


def envelope_message(seq, case="data", content=None, session="s", cursor=0, ack_for_seq=None, attempt=1,
                     max_attempts=2):
    """An envelope message; `content` is the case's bytes (data bytes, or
    nack/status/error/close bytes)."""
    message = WireBridgeEnvelope(session_id=session)
    m = message.metadata
    m.seq, m.cursor, m.idempotency_key, m.attempt, m.max_attempts = seq, cursor, f"k{seq}", attempt, max_attempts
    if ack_for_seq is not None:
        m.ack_for_seq = ack_for_seq
    getattr(message, case).SetInParent()
    if content is not None:
        getattr(message, case).bytes = content
    return message


def envelope(seq, case="data", content=None, **fields):
    """Canonical envelope bytes, as protobuf writes them."""
    return serialize(envelope_message(seq, case, content, **fields))
