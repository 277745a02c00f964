// Session-level acceptance of inbound envelopes: valid, of this session, the
// exact successor of the last accepted one, and not moving the peer's cursor
// back. There is no reordering buffer: anything else is reported and dropped.

#include "wire/bridge/bridge_processor.hpp"

namespace korvalinth {

namespace {

// The event refusing the envelope; none when it is accepted, the state then
// having moved on to it. The borrow ends before the caller emits.
std::optional<WireBridgeEvent> refusal_of(const BridgeStateCell& state, const BridgeSession& session,
                                          const bridge_inbound::Envelope& inbound) {
  const BridgeEnvelope& envelope = inbound.envelope;
  if (auto valid = validate_inbound_envelope(inbound); !valid)
    return bridge_event::ProtocolError{std::string(display_text(valid.error()))};
  if (envelope.session_id != session.session_id)
    return bridge_event::SessionMismatch{session.session_id, envelope.session_id};
  auto s = state.borrow_mut();
  if (envelope.seq <= s->inbound_cursor) return bridge_event::StaleInbound{envelope.seq, s->inbound_cursor};
  if (envelope.seq > s->inbound_cursor + 1) return bridge_event::InboundGap{envelope.seq, s->inbound_cursor + 1};
  if (envelope.cursor < s->peer_cursor)
    return bridge_event::ProtocolError{session.session_id + ": inbound cursor " + std::to_string(envelope.cursor) +
                                       " regressed below " + std::to_string(s->peer_cursor)};
  s->peer_cursor = envelope.cursor;
  s->inbound_cursor = envelope.seq;
  return std::nullopt;
}

void handle_envelope(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                     const bridge_inbound::Envelope& inbound) {
  if (std::optional<WireBridgeEvent> refusal = refusal_of(state, session, inbound)) {
    emit_bridge_event(ctx, std::move(*refusal));
    return;
  }
  BridgeEnvelope envelope = inbound.envelope;
  emit_bridge_event(ctx, bridge_event::Cursor{envelope.seq});
  emit_bridge_event(ctx, bridge_event::Inbound{envelope});
  if (envelope.envelope_type == WireBridgeEnvelopeType::Ack) {
    apply_ack(ctx, state, std::move(envelope));
  } else if (envelope.envelope_type == WireBridgeEnvelopeType::Nack) {
    apply_nack(ctx, state, std::move(envelope));
  }
}

}  // namespace

void handle_inbound_value(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                          const SharedValue& value) {
  const BridgeInbound* inbound = value_cast<BridgeInbound>(value);
  if (!inbound) {
    emit_protocol_error(ctx, "wireBridge: inbound DATA must carry a wire bridge envelope");
  } else if (const auto* failure = std::get_if<bridge_inbound::Failure>(inbound)) {
    emit_protocol_error(ctx, failure->text);
  } else {
    handle_envelope(ctx, state, session, std::get<bridge_inbound::Envelope>(*inbound));
  }
}

}  // namespace korvalinth
