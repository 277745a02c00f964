#include <limits>
#include <map>

#include "node/topology/node_ops.hpp"
#include "wire/bridge/bridge_session.hpp"

namespace korvalinth {

void emit_bridge_event(const RunContext& ctx, WireBridgeEvent event) { emit_data_record(ctx, std::move(event)); }

void emit_protocol_error(const RunContext& ctx, std::string message) {
  emit_bridge_event(ctx, bridge_event::ProtocolError{std::move(message)});
}

void send_outbound(const RunContext& ctx, const BridgeStateCell& state, OutboundSendRequest request,
                   const std::string& session_id, std::uint32_t max_attempts, const WireBridgeClock& clock) {
  const std::uint64_t seq = state.borrow()->next_outbound_seq;
  // The largest seq is never sent, so the next one always exists.
  if (seq == std::numeric_limits<std::uint64_t>::max()) {
    emit_protocol_error(ctx, session_id + ": next outbound seq exceeded u64::MAX");
    return;
  }
  const std::uint64_t sent_at = clock();
  auto built = new_bridge_envelope(BridgeEnvelopeParts{
      session_id, seq, state.borrow()->inbound_cursor, std::move(request.idempotency_key), 1, max_attempts, sent_at,
      request.ack_for_seq, std::move(request.request_id), request.envelope_type, std::move(request.payload)});
  if (!built) {
    emit_protocol_error(ctx, std::string(display_text(built.error())));
    return;
  }
  std::map<std::uint64_t, PendingEnvelope> forgotten;  // dropped after the borrow, without events
  {
    auto s = state.borrow_mut();
    if (request.clear_pending) forgotten = std::exchange(s->pending, {});
    s->next_outbound_seq = seq + 1;
  }
  forgotten.clear();
  emit_bridge_event(ctx, bridge_event::Outbound{*built});
  if (request.await_ack) state.borrow_mut()->pending.insert_or_assign(seq, PendingEnvelope{std::move(*built), {}, {}});
}

}  // namespace korvalinth
