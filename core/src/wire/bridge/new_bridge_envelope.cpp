#include "identity/string_tuple_id.hpp"
#include "wire/bridge/bridge_envelope.hpp"

namespace korvalinth {

// The checks run in another order than validation's: the key is tested last,
// after it has been defaulted.
std::expected<BridgeEnvelope, WireBridgeEnvelopeError> new_bridge_envelope(BridgeEnvelopeParts p) {
  using Error = WireBridgeEnvelopeError;
  if (p.session_id.empty()) return std::unexpected(Error::EmptySessionId);
  if (p.seq == 0) return std::unexpected(Error::ZeroSeq);
  if (p.attempt == 0) return std::unexpected(Error::ZeroAttempt);
  if (p.max_attempts < p.attempt) return std::unexpected(Error::MaxAttemptsBeforeAttempt);
  if (is_acknowledgement(p.envelope_type) && !p.ack_for_seq) return std::unexpected(Error::MissingAckForSeq);
  if (p.ack_for_seq == 0u) return std::unexpected(Error::ZeroAckForSeq);
  if (auto payload = check_bridge_payload(p.envelope_type, p.payload); !payload) return std::unexpected(payload.error());
  std::string key =
      p.idempotency_key ? std::move(*p.idempotency_key) : string_tuple_id_with_counter(p.session_id, p.seq);
  if (key.empty()) return std::unexpected(Error::EmptyIdempotencyKey);
  return BridgeEnvelope{std::move(p.session_id), p.seq,          p.cursor,
                        std::move(key),          p.attempt,      p.max_attempts,
                        p.sent_at,               p.ack_for_seq,  std::move(p.request_id),
                        p.envelope_type,         std::move(p.payload)};
}

}  // namespace korvalinth
