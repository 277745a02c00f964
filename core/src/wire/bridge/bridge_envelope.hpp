#pragma once
// BridgeEnvelope: the envelope record a wire bridge sends and receives,
// independent of any byte format (wire/codec/envelope_codec.hpp is its
// protobuf form, wire/bridge/envelope_conversion.hpp maps between them).
// Every envelope the bridge builds comes from new_bridge_envelope and every
// envelope it receives passes validate_bridge_envelope; code that holds a
// BridgeEnvelope may rely on those rules.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "wire/codec/bytes.hpp"
#include "wire/codec/envelope_codec.hpp"

namespace korvalinth {

// The value is the index of the protobuf payload case of the same name.
enum class WireBridgeEnvelopeType : std::uint8_t { Start, Data, Ack, Nack, Status, Error, Close };

// Payload kinds, in this order.
namespace bridge_payload {
struct Data {
  WireBridgeDataBody body;
  bool operator==(const Data&) const = default;
};
// NACK reason, ERROR detail; may be empty.
struct Bytes {
  ::korvalinth::Bytes bytes;
  bool operator==(const Bytes&) const = default;
};
struct StatusBytes {
  ::korvalinth::Bytes bytes;
  bool operator==(const StatusBytes&) const = default;
};
// Present even when its bytes are absent: that is not the same as no payload.
struct CloseBytes {
  std::optional<::korvalinth::Bytes> bytes;
  bool operator==(const CloseBytes&) const = default;
};
}  // namespace bridge_payload

using BridgePayload =
    std::variant<bridge_payload::Data, bridge_payload::Bytes, bridge_payload::StatusBytes, bridge_payload::CloseBytes>;

struct BridgeEnvelope {
  std::string session_id;
  std::uint64_t seq = 0;     // the sender's number of this envelope, from 1
  std::uint64_t cursor = 0;  // the last seq the sender accepted from its peer, 0 before any
  std::string idempotency_key;
  std::uint32_t attempt = 0;
  std::uint32_t max_attempts = 0;
  std::optional<std::uint64_t> sent_at;
  std::optional<std::uint64_t> ack_for_seq;  // ACK and NACK: the peer seq acknowledged
  std::optional<std::string> request_id;
  WireBridgeEnvelopeType envelope_type = WireBridgeEnvelopeType::Start;
  std::optional<BridgePayload> payload;
  bool operator==(const BridgeEnvelope&) const = default;
};

// The input of new_bridge_envelope: an absent key means the default key,
// the string-tuple id of (session_id, seq), the same for every attempt.
struct BridgeEnvelopeParts {
  std::string session_id;
  std::uint64_t seq = 0;
  std::uint64_t cursor = 0;
  std::optional<std::string> idempotency_key;
  std::uint32_t attempt = 0;
  std::uint32_t max_attempts = 0;
  std::optional<std::uint64_t> sent_at;
  std::optional<std::uint64_t> ack_for_seq;
  std::optional<std::string> request_id;
  WireBridgeEnvelopeType envelope_type = WireBridgeEnvelopeType::Start;
  std::optional<BridgePayload> payload;
};

enum class WireBridgeEnvelopeError : std::uint8_t {
  EmptySessionId,
  ZeroSeq,
  EmptyIdempotencyKey,
  ZeroAttempt,
  MaxAttemptsBeforeAttempt,
  ZeroAckForSeq,
  MissingAckForSeq,
  MissingPayload,
  UnexpectedPayload,
  PayloadTypeMismatch,
};

// "wireBridgeEnvelope: ..." as the bridge reports it.
std::string_view display_text(WireBridgeEnvelopeError error) noexcept;
// The variant name alone ("EmptySessionId").
std::string_view debug_name(WireBridgeEnvelopeError error) noexcept;

inline bool is_acknowledgement(WireBridgeEnvelopeType type) noexcept {
  return type == WireBridgeEnvelopeType::Ack || type == WireBridgeEnvelopeType::Nack;
}

// The payload rule both checks share: START and ACK carry none, every other
// type the one kind it needs (for CLOSE the kind alone counts).
std::expected<void, WireBridgeEnvelopeError> check_bridge_payload(WireBridgeEnvelopeType type,
                                                                  const std::optional<BridgePayload>& payload);

// Builds an envelope the bridge is about to send. On failure the parts are gone.
std::expected<BridgeEnvelope, WireBridgeEnvelopeError> new_bridge_envelope(BridgeEnvelopeParts parts);

// Checks an envelope the bridge received; the first broken rule wins.
std::expected<void, WireBridgeEnvelopeError> validate_bridge_envelope(const BridgeEnvelope& envelope);

}  // namespace korvalinth
