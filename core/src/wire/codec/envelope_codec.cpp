#include "wire/codec/envelope_codec.hpp"

#include <algorithm>

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

// Metadata fields 1 to 8 into the envelope (all but the payload).
CanonicalResult<void> decode_metadata(ByteView bytes, WireBridgeCodecEnvelope& envelope) {
  auto scanned = decode_canonical_fields(bytes, kMetadataTable, "WireBridgeMetadata");
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const ScannedMessage& m = *scanned;
  for (std::uint32_t required : {kSeq, kCursor, kIdempotencyKey, kAttempt, kMaxAttempts}) {
    if (!m.field(required).present) return refuse(Category::MissingRequired, "WireBridgeMetadata missing required fields");
  }
  if (is_default_metadata(m.field(kSentAt), m.field(kAckForSeq), m.field(kRequestId))) {
    return refuse(Category::DefaultEmission, kDefaultMetadata);
  }
  auto key = read_required_string_field(m.field(kIdempotencyKey).bytes, "idempotency_key");
  if (!key) return std::unexpected(std::move(key.error()));
  auto attempt = check_uint32_field(m.field(kAttempt).varint, "attempt");
  if (!attempt) return std::unexpected(std::move(attempt.error()));
  auto max_attempts = check_uint32_field(m.field(kMaxAttempts).varint, "max_attempts");
  if (!max_attempts) return std::unexpected(std::move(max_attempts.error()));
  if (m.field(kRequestId).present) {
    auto request_id = read_string_field(m.field(kRequestId).bytes, "request_id");
    if (!request_id) return std::unexpected(std::move(request_id.error()));
    envelope.request_id = std::move(*request_id);
  }
  envelope.seq = m.field(kSeq).varint;
  envelope.cursor = m.field(kCursor).varint;
  envelope.idempotency_key = std::move(*key);
  envelope.attempt = *attempt;
  envelope.max_attempts = *max_attempts;
  if (m.field(kSentAt).present) envelope.sent_at = m.field(kSentAt).varint;
  if (m.field(kAckForSeq).present) envelope.ack_for_seq = m.field(kAckForSeq).varint;
  return {};
}

void append_metadata(Bytes& out, const WireBridgeCodecEnvelope& e) {
  write_varint_field(out, kSeq, e.seq);
  write_varint_field(out, kCursor, e.cursor);
  write_text_field(out, kIdempotencyKey, e.idempotency_key);
  write_varint_field(out, kAttempt, e.attempt);
  write_varint_field(out, kMaxAttempts, e.max_attempts);
  if (e.sent_at) write_varint_field(out, kSentAt, *e.sent_at);
  if (e.ack_for_seq) write_varint_field(out, kAckForSeq, *e.ack_for_seq);
  if (e.request_id) write_text_field(out, kRequestId, *e.request_id);
}

Bytes encode_checked_envelope(const WireBridgeCodecEnvelope& envelope) {
  Bytes out;
  write_text_field(out, kSessionId, envelope.session_id);
  write_message_field(out, kMetadata, [&](Bytes& metadata) { append_metadata(metadata, envelope); });
  append_envelope_payload(out, envelope.payload);
  return out;
}

bool acknowledges(const WireBridgeCodecPayload& payload) {
  return std::holds_alternative<envelope_case::Ack>(payload) || std::holds_alternative<envelope_case::Nack>(payload);
}

}  // namespace

CanonicalResult<void> check_envelope_encodable(const WireBridgeCodecEnvelope& e) {
  // attempt - 1 wraps for attempt 0, so one test also refuses attempt 0.
  if (e.session_id.empty() || e.seq == 0 || e.attempt == 0 || e.attempt - 1u >= e.max_attempts ||
      e.idempotency_key.empty()) {
    return refuse(Category::MissingRequired, "WireBridgeEnvelope required semantics are invalid");
  }
  if (acknowledges(e.payload) && !e.ack_for_seq) {
    return refuse(Category::MissingRequired, "ACK/NACK requires metadata.ack_for_seq");
  }
  if ((e.sent_at && *e.sent_at == 0) || (e.ack_for_seq && *e.ack_for_seq == 0) || (e.request_id && e.request_id->empty())) {
    return refuse(Category::DefaultEmission, kDefaultMetadata);
  }
  return check_payload_encodable(e.payload);
}

CanonicalResult<Bytes> encode_wire_bridge_envelope(const WireBridgeCodecEnvelope& envelope) {
  if (auto checked = check_envelope_encodable(envelope); !checked) return std::unexpected(std::move(checked.error()));
  return encode_checked_envelope(envelope);
}

CanonicalResult<WireBridgeCodecEnvelope> decode_wire_bridge_envelope(ByteView input) {
  auto scanned = decode_canonical_fields(input, kEnvelopeTable, "WireBridgeEnvelope");
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const ScannedField& session_id = scanned->field(kSessionId);
  const ScannedField& metadata = scanned->field(kMetadata);
  std::uint32_t payload_field = 0;
  unsigned payload_cases = 0;
  for (std::uint32_t number = kFirstPayloadField; number <= kLastPayloadField; ++number) {
    if (!scanned->field(number).present) continue;
    if (payload_cases++ == 0) payload_field = number;
  }
  if (!session_id.present || !metadata.present || payload_cases == 0) {
    return refuse(Category::MissingRequired, kEnvelopeMissing);
  }
  if (payload_cases > 1) return refuse(Category::InvalidOneof, "WireBridgeEnvelope payload oneof has multiple cases");

  WireBridgeCodecEnvelope envelope;
  auto session_text = read_required_string_field(session_id.bytes, "session_id");
  if (!session_text) return std::unexpected(std::move(session_text.error()));
  envelope.session_id = std::move(*session_text);
  if (auto decoded = decode_metadata(metadata.bytes, envelope); !decoded) return std::unexpected(std::move(decoded.error()));
  auto payload = decode_envelope_payload(payload_field, scanned->field(payload_field).bytes);
  if (!payload) return std::unexpected(std::move(payload.error()));
  envelope.payload = std::move(*payload);

  if (auto checked = check_envelope_encodable(envelope); !checked) return std::unexpected(std::move(checked.error()));
  if (!std::ranges::equal(encode_checked_envelope(envelope), input)) {
    return refuse(Category::NoncanonicalBytes, "WireBridgeEnvelope bytes are not canonical deterministic protobuf");
  }
  return envelope;
}

}  // namespace korvalinth
