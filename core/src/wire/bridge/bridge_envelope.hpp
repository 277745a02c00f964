#pragma once
// The bridge's rules for its envelope record (wire/codec/envelope_record.hpp).
// Every envelope the bridge builds comes from new_bridge_envelope and every
// envelope it receives passes validate_bridge_envelope (or came out of the
// canonical decoder, whose checks include these); code that holds a
// BridgeEnvelope may rely on those rules.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "wire/codec/envelope_record.hpp"

namespace korvalinth {

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
