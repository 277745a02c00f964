#pragma once
// The values that travel between a wire bridge's nodes: commands into
// {name}/command, inbound items into {name}/inbound, events out of
// {name}/events. Each is its own value type, so a reader that looks for one
// never takes another. Copies are deep.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "wire/bridge/bridge_envelope.hpp"
#include "wire/codec/bytes.hpp"

namespace korvalinth {

namespace bridge_command {
struct Start {
  std::optional<std::string> idempotency_key;
  std::optional<std::string> request_id;
  bool operator==(const Start&) const = default;
};
struct Data {
  WireBridgeDataBody payload;
  std::optional<std::string> idempotency_key;
  std::optional<std::string> request_id;
  bool operator==(const Data&) const = default;
};
struct Ack {
  std::optional<std::string> idempotency_key;
  std::optional<std::string> request_id;
  std::uint64_t ack_for_seq = 0;
  bool operator==(const Ack&) const = default;
};
struct Nack {
  Bytes reason;
  std::optional<std::string> idempotency_key;
  std::optional<std::string> request_id;
  std::uint64_t ack_for_seq = 0;
  bool operator==(const Nack&) const = default;
};
// Forget every pending envelope, then send CLOSE.
struct Close {
  std::optional<Bytes> reason;
  std::optional<std::string> idempotency_key;
  bool operator==(const Close&) const = default;
};
// Attempt `attempt` of outbound `seq` was not acknowledged in time.
struct AckTimeout {
  std::optional<std::uint64_t> observed_at_ms;
  std::uint64_t seq = 0;
  std::uint32_t attempt = 0;
  bool operator==(const AckTimeout&) const = default;
};
}  // namespace bridge_command

using WireBridgeCommand = std::variant<bridge_command::Start, bridge_command::Data, bridge_command::Ack,
                                       bridge_command::Nack, bridge_command::Close, bridge_command::AckTimeout>;

namespace bridge_inbound {
struct Envelope {
  BridgeEnvelope envelope;  // as decoded from the peer
  // Set by the canonical decoder, whose checks include the bridge's
  // validation: the readers do not validate the envelope a second time.
  bool checked = false;
  bool operator==(const Envelope&) const = default;
};
// Bytes that did not decode into an envelope, and why.
struct Failure {
  std::string text;
  bool operator==(const Failure&) const = default;
};
}  // namespace bridge_inbound

using BridgeInbound = std::variant<bridge_inbound::Envelope, bridge_inbound::Failure>;

// validate_bridge_envelope, unless the canonical decoder has checked it.
inline std::expected<void, WireBridgeEnvelopeError> validate_inbound_envelope(const bridge_inbound::Envelope& inbound) {
  if (inbound.checked) return {};
  return validate_bridge_envelope(inbound.envelope);
}

namespace bridge_event {
struct Outbound {
  BridgeEnvelope envelope;
  bool operator==(const Outbound&) const = default;
};
struct Inbound {
  BridgeEnvelope envelope;
  bool operator==(const Inbound&) const = default;
};
struct Acked {
  BridgeEnvelope ack;    // the inbound ACK
  BridgeEnvelope acked;  // the pending envelope it settles
  std::uint64_t ack_for_seq = 0;
  bool operator==(const Acked&) const = default;
};
struct Nacked {
  BridgeEnvelope nack;
  BridgeEnvelope nacked;
  Bytes reason;
  std::uint64_t ack_for_seq = 0;
  bool operator==(const Nacked&) const = default;
};
struct AckTimeout {
  std::uint64_t seq = 0;
  std::uint32_t attempt = 0;
  bool operator==(const AckTimeout&) const = default;
};
struct RetryScheduled {
  std::string message;
  std::uint64_t seq = 0;
  std::uint64_t delay_ms = 0;
  std::uint32_t next_attempt = 0;
  bool operator==(const RetryScheduled&) const = default;
};
struct RetryExhausted {
  std::string message;
  std::uint64_t seq = 0;
  std::uint32_t attempt = 0;
  bool operator==(const RetryExhausted&) const = default;
};
// An inbound envelope was accepted; seq is the new inbound cursor.
struct Cursor {
  std::uint64_t seq = 0;
  bool operator==(const Cursor&) const = default;
};
struct StaleInbound {
  std::uint64_t seq = 0;
  std::uint64_t last_accepted = 0;
  bool operator==(const StaleInbound&) const = default;
};
struct InboundGap {
  std::uint64_t seq = 0;
  std::uint64_t expected = 0;
  bool operator==(const InboundGap&) const = default;
};
struct SessionMismatch {
  std::string expected;
  std::string received;
  bool operator==(const SessionMismatch&) const = default;
};
struct LateAckNack {
  std::uint64_t ack_for_seq = 0;
  bool is_nack = false;
  bool operator==(const LateAckNack&) const = default;
};
struct ProtocolError {
  std::string message;
  bool operator==(const ProtocolError&) const = default;
};
}  // namespace bridge_event

using WireBridgeEvent =
    std::variant<bridge_event::Outbound, bridge_event::Inbound, bridge_event::Acked, bridge_event::Nacked,
                 bridge_event::AckTimeout, bridge_event::RetryScheduled, bridge_event::RetryExhausted,
                 bridge_event::Cursor, bridge_event::StaleInbound, bridge_event::InboundGap,
                 bridge_event::SessionMismatch, bridge_event::LateAckNack, bridge_event::ProtocolError>;

}  // namespace korvalinth
