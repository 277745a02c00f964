#include "wire/bridge/bridge_envelope.hpp"

#include <array>

namespace korvalinth {
namespace {

using Error = WireBridgeEnvelopeError;
using Type = WireBridgeEnvelopeType;

struct ErrorTexts {
  std::string_view debug;
  std::string_view display;
};

constexpr std::array<ErrorTexts, 10> kErrorTexts{{
    {"EmptySessionId", "wireBridgeEnvelope: session_id must be non-empty"},
    {"ZeroSeq", "wireBridgeEnvelope: seq must be positive"},
    {"EmptyIdempotencyKey", "wireBridgeEnvelope: idempotency_key must be non-empty"},
    {"ZeroAttempt", "wireBridgeEnvelope: attempt must be positive"},
    {"MaxAttemptsBeforeAttempt", "wireBridgeEnvelope: max_attempts must be >= attempt"},
    {"ZeroAckForSeq", "wireBridgeEnvelope: ack_for_seq must be positive"},
    {"MissingAckForSeq", "wireBridgeEnvelope: ack/nack requires ack_for_seq"},
    {"MissingPayload", "wireBridgeEnvelope: envelope type requires a payload"},
    {"UnexpectedPayload", "wireBridgeEnvelope: envelope type must not carry a payload"},
    {"PayloadTypeMismatch", "wireBridgeEnvelope: payload kind does not match envelope type"},
}};

// The payload kind (index into BridgePayload) each type needs.
constexpr std::size_t payload_kind_for(Type type) noexcept {
  switch (type) {
    case Type::Data: return 0;
    case Type::Nack:
    case Type::Error: return 1;
    case Type::Status: return 2;
    default: return 3;  // Close
  }
}

}  // namespace

std::expected<void, WireBridgeEnvelopeError> check_bridge_payload(WireBridgeEnvelopeType type,
                                                                  const std::optional<BridgePayload>& payload) {
  if (type == Type::Start || type == Type::Ack) {
    if (payload) return std::unexpected(Error::UnexpectedPayload);
    return {};
  }
  if (!payload) return std::unexpected(Error::MissingPayload);
  if (payload->index() != payload_kind_for(type)) return std::unexpected(Error::PayloadTypeMismatch);
  return {};
}

std::string_view display_text(WireBridgeEnvelopeError error) noexcept {
  return kErrorTexts[static_cast<std::size_t>(error) % kErrorTexts.size()].display;
}

std::string_view debug_name(WireBridgeEnvelopeError error) noexcept {
  return kErrorTexts[static_cast<std::size_t>(error) % kErrorTexts.size()].debug;
}

std::expected<void, WireBridgeEnvelopeError> validate_bridge_envelope(const BridgeEnvelope& e) {
  if (e.session_id.empty()) return std::unexpected(Error::EmptySessionId);
  if (e.seq == 0) return std::unexpected(Error::ZeroSeq);
  if (e.idempotency_key.empty()) return std::unexpected(Error::EmptyIdempotencyKey);
  if (e.attempt == 0) return std::unexpected(Error::ZeroAttempt);
  if (e.max_attempts < e.attempt) return std::unexpected(Error::MaxAttemptsBeforeAttempt);
  if (e.ack_for_seq == 0u) return std::unexpected(Error::ZeroAckForSeq);
  if (is_acknowledgement(e.envelope_type) && !e.ack_for_seq) return std::unexpected(Error::MissingAckForSeq);
  return check_bridge_payload(e.envelope_type, e.payload);
}

}  // namespace korvalinth
