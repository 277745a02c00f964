#include "wire/codec/envelope_codec.hpp"

#include "wire/codec/field_scanner.hpp"
#include "wire/codec/field_writer.hpp"

namespace korvalinth {
namespace {

using Category = CanonicalProtobufErrorCategory;

enum EnvelopeField : std::uint32_t { kSessionId = 1, kMetadata = 2, kLastPayloadField = 9 };
constexpr FieldTable<9> kEnvelopeTable{{
    {1, WireType::LengthDelimited},
    {2, WireType::LengthDelimited},
    {3, WireType::LengthDelimited},
    {4, WireType::LengthDelimited},
    {5, WireType::LengthDelimited},
    {6, WireType::LengthDelimited},
    {7, WireType::LengthDelimited},
    {8, WireType::LengthDelimited},
    {9, WireType::LengthDelimited},
}};

enum MetadataField : std::uint32_t {
  kSeq = 1,
  kCursor = 2,
  kIdempotencyKey = 3,
  kAttempt = 4,
  kMaxAttempts = 5,
  kSentAt = 6,
  kAckForSeq = 7,
  kRequestId = 8,
};
constexpr FieldTable<8> kMetadataTable{{
    {kSeq, WireType::Varint},
    {kCursor, WireType::Varint},
    {kIdempotencyKey, WireType::LengthDelimited},
    {kAttempt, WireType::Varint},
    {kMaxAttempts, WireType::Varint},
    {kSentAt, WireType::Varint},
    {kAckForSeq, WireType::Varint},
    {kRequestId, WireType::LengthDelimited},
}};

constexpr const char* kEnvelopeMissing = "WireBridgeEnvelope missing required fields";
constexpr const char* kDefaultMetadata = "optional metadata default value was emitted";

bool is_default_metadata(const ScannedField& sent_at, const ScannedField& ack_for_seq, const ScannedField& request_id) {
  return (sent_at.present && sent_at.varint == 0) || (ack_for_seq.present && ack_for_seq.varint == 0) ||
         (request_id.present && request_id.bytes.empty());
}

std::optional<std::uint64_t> optional_varint(const ScannedField& field) {
  return field.present ? std::optional<std::uint64_t>(field.varint) : std::nullopt;
}

// Metadata fields 1 to 8 into the envelope (all but the payload). Every field
// present is written back by the encoder (a default is refused), so the scan's
// byte form is the metadata's whole verdict.
CanonicalResult<void> decode_metadata(ByteView bytes, BridgeEnvelope& envelope, bool& canonical) {
  ScannedMessage m(kMetadataTable);
  if (auto read = decode_canonical_fields(bytes, m, "WireBridgeMetadata"); !read) return read;
  if (!m.canonical()) canonical = false;
  for (std::uint32_t required : {kSeq, kCursor, kIdempotencyKey, kAttempt, kMaxAttempts}) {
    if (!m.field(required).present) return refuse(Category::MissingRequired, "WireBridgeMetadata missing required fields");
  }
  if (is_default_metadata(m.field(kSentAt), m.field(kAckForSeq), m.field(kRequestId))) {
    return refuse(Category::DefaultEmission, kDefaultMetadata);
  }
  if (auto key = read_required_string_field(m.field(kIdempotencyKey).bytes, envelope.idempotency_key, "idempotency_key");
      !key) {
    return key;
  }
  auto attempt = check_uint32_field(m.field(kAttempt).varint, "attempt");
  if (!attempt) return std::unexpected(std::move(attempt.error()));
  auto max_attempts = check_uint32_field(m.field(kMaxAttempts).varint, "max_attempts");
  if (!max_attempts) return std::unexpected(std::move(max_attempts.error()));
  if (m.field(kRequestId).present) {
    std::string& request_id = envelope.request_id ? *envelope.request_id : envelope.request_id.emplace();
    if (auto read = read_string_field(m.field(kRequestId).bytes, request_id, "request_id"); !read) return read;
  } else {
    envelope.request_id.reset();
  }
  envelope.seq = m.field(kSeq).varint;
  envelope.cursor = m.field(kCursor).varint;
  envelope.attempt = *attempt;
  envelope.max_attempts = *max_attempts;
  envelope.sent_at = optional_varint(m.field(kSentAt));
  envelope.ack_for_seq = optional_varint(m.field(kAckForSeq));
  return {};
}

void append_metadata(Bytes& out, const BridgeEnvelope& e) {
  write_varint_field(out, kSeq, e.seq);
  write_varint_field(out, kCursor, e.cursor);
  write_text_field(out, kIdempotencyKey, e.idempotency_key);
  write_varint_field(out, kAttempt, e.attempt);
  write_varint_field(out, kMaxAttempts, e.max_attempts);
  if (e.sent_at) write_varint_field(out, kSentAt, *e.sent_at);
  if (e.ack_for_seq) write_varint_field(out, kAckForSeq, *e.ack_for_seq);
  if (e.request_id) write_text_field(out, kRequestId, *e.request_id);
}

Bytes encode_checked_envelope(const BridgeEnvelope& envelope) {
  Bytes out;
  out.reserve(64 + envelope.session_id.size() + envelope.idempotency_key.size());
  write_text_field(out, kSessionId, envelope.session_id);
  write_message_field(out, kMetadata, [&](Bytes& metadata) { append_metadata(metadata, envelope); });
  append_envelope_payload(out, envelope);
  return out;
}

bool acknowledges(const BridgeEnvelope& envelope) {
  return envelope.envelope_type == WireBridgeEnvelopeType::Ack || envelope.envelope_type == WireBridgeEnvelopeType::Nack;
}

}  // namespace

CanonicalResult<void> check_envelope_encodable(const BridgeEnvelope& e) {
  // attempt - 1 wraps for attempt 0, so one test also refuses attempt 0.
  if (e.session_id.empty() || e.seq == 0 || e.attempt == 0 || e.attempt - 1u >= e.max_attempts ||
      e.idempotency_key.empty()) {
    return refuse(Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid");
  }
  if (acknowledges(e) && !e.ack_for_seq) {
    return refuse(Category::MissingRequired, "ACK/NACK requires metadata.ack_for_seq");
  }
  if ((e.sent_at && *e.sent_at == 0) || (e.ack_for_seq && *e.ack_for_seq == 0) || (e.request_id && e.request_id->empty())) {
    return refuse(Category::DefaultEmission, kDefaultMetadata);
  }
  return check_payload_encodable(e);
}

CanonicalResult<Bytes> encode_wire_bridge_envelope(const BridgeEnvelope& envelope) {
  if (auto checked = check_envelope_encodable(envelope); !checked) return std::unexpected(std::move(checked.error()));
  return encode_checked_envelope(envelope);
}

CanonicalResult<BridgeEnvelope> decode_wire_bridge_envelope(ByteView input) {
  CanonicalResult<BridgeEnvelope> envelope(std::in_place);
  if (auto decoded = decode_wire_bridge_envelope_into(input, *envelope); !decoded) {
    return std::unexpected(std::move(decoded.error()));
  }
  return envelope;
}

CanonicalResult<void> decode_wire_bridge_envelope_into(ByteView input, BridgeEnvelope& envelope) {
  ScannedMessage scanned(kEnvelopeTable);
  if (auto read = decode_canonical_fields(input, scanned, "WireBridgeEnvelope"); !read) return read;
  bool canonical = scanned.canonical();
  const ScannedField& session_id = scanned.field(kSessionId);
  const ScannedField& metadata = scanned.field(kMetadata);
  std::uint32_t payload_field = 0;
  unsigned payload_cases = 0;
  for (std::uint32_t number = kFirstPayloadField; number <= kLastPayloadField; ++number) {
    if (!scanned.field(number).present) continue;
    if (payload_cases++ == 0) payload_field = number;
  }
  if (!session_id.present || !metadata.present || payload_cases == 0) {
    return refuse(Category::MissingRequired, kEnvelopeMissing);
  }
  if (payload_cases > 1) return refuse(Category::InvalidOneof, "WireBridgeEnvelope payload oneof has multiple cases");

  if (auto read = read_required_string_field(session_id.bytes, envelope.session_id, "session_id"); !read) return read;
  if (auto decoded = decode_metadata(metadata.bytes, envelope, canonical); !decoded) return decoded;
  auto payload = decode_envelope_payload(payload_field, scanned.field(payload_field).bytes, envelope, canonical);
  if (!payload) return payload;

  if (auto checked = check_envelope_encodable(envelope); !checked) return checked;
  if (!canonical) {
    return refuse(Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf");
  }
  return {};
}

}  // namespace korvalinth
