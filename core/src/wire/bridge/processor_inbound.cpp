// The processor's handling of one inbound item: refused items are reported,
// an accepted envelope becomes Cursor and Inbound events, and an ACK or NACK
// settles what it names.

#include "wire/bridge/bridge_processor.hpp"
#include "wire/bridge/inbound_acceptance.hpp"

namespace korvalinth {

namespace {

void report_accepted(const RunContext& ctx, const BridgeStateCell& state, BridgeEnvelope envelope) {
  emit_bridge_event(ctx, bridge_event::Cursor{envelope.seq});
  emit_bridge_event(ctx, bridge_event::Inbound{envelope});
  if (envelope.envelope_type == WireBridgeEnvelopeType::Ack) {
    apply_ack(ctx, state, std::move(envelope));
  } else if (envelope.envelope_type == WireBridgeEnvelopeType::Nack) {
    apply_nack(ctx, state, std::move(envelope));
  }
}

// The envelopes accepted up to this delivery's verdict come first: this one
// when it was accepted, and before it those an edge group accepted ahead of
// the processor.
void handle_envelope(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                     const SharedContent<bridge_inbound::Envelope>& inbound) {
  InboundVerdict verdict = take_inbound_verdict(state, session.session_id, inbound, ctx.node.key());
  report_acceptances(ctx, state, verdict.cursor);
  if (verdict.refusal) emit_bridge_event(ctx, std::move(*verdict.refusal));
}

}  // namespace

void report_acceptances(const RunContext& ctx, const BridgeStateCell& state, std::uint64_t through) {
  while (auto accepted = take_unreported_acceptance(state, through)) report_accepted(ctx, state, std::move(*accepted));
}

void handle_inbound_value(const RunContext& ctx, const BridgeStateCell& state, const BridgeSession& session,
                          const SharedValue& value) {
  const BridgeInbound* inbound = value_cast<BridgeInbound>(value);
  if (!inbound) {
    emit_protocol_error(ctx, "wireBridge: inbound DATA must carry a wire bridge envelope");
  } else if (const auto* failure = std::get_if<bridge_inbound::Failure>(inbound)) {
    emit_protocol_error(ctx, failure->text);
  } else {
    // Shares ownership with the runtime value: the item's identity for its verdict.
    const auto* envelope = &std::get<bridge_inbound::Envelope>(*inbound);
    handle_envelope(ctx, state, session, SharedContent<bridge_inbound::Envelope>(value, envelope));
  }
}

}  // namespace korvalinth
