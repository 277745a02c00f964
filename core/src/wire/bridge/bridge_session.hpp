#pragma once
// The outbound half of a bridge session, run by the processor with its
// state: numbering and sending envelopes, keeping those that await an
// acknowledgement pending, settling them on ACK or NACK, and retrying them
// after reported ack timeouts. Every outcome is one event emitted from the
// processor node.
//
// Emitting runs downstream nodes before it returns, and those may change the
// state (a deactivation empties `pending`). So no borrow of the state and no
// reference into `pending` is held across an emit or a clock call: each step
// looks its entry up again and skips it when it is gone.

#include <cstdint>
#include <optional>
#include <string>

#include "node/arena/node_fn.hpp"
#include "wire/bridge/bridge_config.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/bridge_state.hpp"

namespace korvalinth {

// What the processor keeps of the bridge configuration.
struct BridgeSession {
  std::string session_id;
  WireBridgeRetryBackoff backoff;
  std::uint32_t max_attempts = 0;
  WireBridgeClock clock;  // resolved: never empty
};

// One send, as the processor builds it from a send command.
struct OutboundSendRequest {
  std::optional<std::uint64_t> ack_for_seq;
  std::optional<std::string> idempotency_key;  // absent: derived from session id and seq
  std::optional<std::string> request_id;
  std::optional<BridgePayload> payload;
  bool await_ack = false;      // keep the envelope pending until ACK or NACK
  bool clear_pending = false;  // forget every pending envelope first
  WireBridgeEnvelopeType envelope_type = WireBridgeEnvelopeType::Start;
};

void emit_bridge_event(const RunContext& ctx, WireBridgeEvent event);
void emit_protocol_error(const RunContext& ctx, std::string message);

// Numbers, validates and sends one envelope; a refusal uses up no seq.
void send_outbound(const RunContext& ctx, const BridgeStateCell& state, OutboundSendRequest request,
                   const std::string& session_id, std::uint32_t max_attempts, const WireBridgeClock& clock);

// Settle the pending envelope an accepted, validated ACK (NACK) names, or
// report the acknowledgement as late.
void apply_ack(const RunContext& ctx, const BridgeStateCell& state, BridgeEnvelope ack);
void apply_nack(const RunContext& ctx, const BridgeStateCell& state, BridgeEnvelope nack);

// The report that attempt `attempt` of outbound `seq` was not acknowledged in time.
void handle_ack_timeout(const RunContext& ctx, const BridgeStateCell& state, std::uint64_t seq,
                        std::uint32_t attempt, std::optional<std::uint64_t> observed_at_ms,
                        const BridgeSession& session);

// The backoff before retrying attempt `attempt` (>= 1); saturates, never wraps.
std::uint64_t retry_delay_ms(const WireBridgeRetryBackoff& backoff, std::uint32_t attempt);

// Sends the next attempt of a pending envelope (a copy), while it is still pending.
void retry_envelope(const RunContext& ctx, const BridgeStateCell& state, std::uint32_t max_attempts,
                    const WireBridgeClock& clock, BridgeEnvelope pending);

}  // namespace korvalinth
