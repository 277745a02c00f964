"""The wire messages as protobuf descriptors, built in Python from the
wire's descriptor tables (no protoc), for cross-checking our codecs against
the protobuf package. Every field has explicit presence (proto2 optional):
the canonical form writes every field that is set, defaults included."""

from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

# Message: field number, name, type (a scalar type or a message), oneof.
MESSAGES = {
    "WireEdgeFrame": "1 kind uint64, 2 edge_id string, 3 cause_id string, 4 value bytes",
    "WireBridgeMetadata": "1 seq uint64, 2 cursor uint64, 3 idempotency_key string, 4 attempt uint32, 5 max_attempts "
                          "uint32, 6 sent_at uint64, 7 ack_for_seq uint64, 8 request_id string",
    "WireBridgeDataPayload": "1 bytes bytes body, 2 frame WireEdgeFrame body",
    "Empty": "",  # start, ack
    "Bytes": "1 bytes bytes",  # nack, status, error, close
    "WireBridgeEnvelope": "1 session_id string, 2 metadata WireBridgeMetadata, 3 start Empty payload, 4 data "
                          "WireBridgeDataPayload payload, 5 ack Empty payload, 6 nack Bytes payload, 7 status Bytes "
                          "payload, 8 error Bytes payload, 9 close Bytes payload",
}
PAYLOAD_CASES = ["start", "data", "ack", "nack", "status", "error", "close"]


def _pool():
    F = descriptor_pb2.FieldDescriptorProto
    file = descriptor_pb2.FileDescriptorProto(name="wire.proto", package="wire", syntax="proto2")
    for name, fields in MESSAGES.items():
        message = file.message_type.add(name=name)
        for number, field_name, kind, *oneof in (f.split() for f in fields.split(", ") if f):
            field = message.field.add(name=field_name, number=int(number), label=F.LABEL_OPTIONAL)
            if kind in MESSAGES:
                field.type, field.type_name = F.TYPE_MESSAGE, f".wire.{kind}"
            else:
                field.type = getattr(F, "TYPE_" + kind.upper())
            if oneof:
                if oneof[0] not in [o.name for o in message.oneof_decl]:
                    message.oneof_decl.add(name=oneof[0])
                field.oneof_index = len(message.oneof_decl) - 1
    pool = descriptor_pool.DescriptorPool()
    pool.Add(file)
    return pool


_POOL = _pool()
WireEdgeFrame, WireBridgeEnvelope = (message_factory.GetMessageClass(_POOL.FindMessageTypeByName(f"wire.{name}"))
                                     for name in ("WireEdgeFrame", "WireBridgeEnvelope"))


def serialize(message):
    return message.SerializeToString(deterministic=True)


def parse(cls, data):
    message = cls()
    message.ParseFromString(data)
    return message


def envelope(seq, case="data", content=None, session="s", ack_for_seq=None, max_attempts=2, raw=True):
    """Canonical envelope bytes as protobuf writes them (the message with raw
    False); `content` is the case's bytes."""
    message = WireBridgeEnvelope(session_id=session)
    m = message.metadata
    m.seq, m.cursor, m.idempotency_key, m.attempt, m.max_attempts = seq, 0, f"k{seq}", 1, max_attempts
    if ack_for_seq is not None:
        m.ack_for_seq = ack_for_seq
    getattr(message, case).SetInParent()
    if content is not None:
        getattr(message, case).bytes = content
    return serialize(message) if raw else message
