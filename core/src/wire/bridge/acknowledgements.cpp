#include "base/fault.hpp"
#include "wire/bridge/bridge_session.hpp"

namespace korvalinth {

namespace {

// Takes the pending entry an acknowledgement names out of the map.
std::optional<PendingEnvelope> take_pending(const BridgeStateCell& state, std::uint64_t seq) {
  auto s = state.borrow_mut();
  auto node = s->pending.extract(seq);
  if (node.empty()) return std::nullopt;
  return std::move(node.mapped());
}

std::uint64_t acknowledged_seq(const BridgeEnvelope& envelope, const char* broken) {
  if (!envelope.ack_for_seq) fault(broken);
  return *envelope.ack_for_seq;
}

}  // namespace

void apply_ack(const RunContext& ctx, const BridgeStateCell& state, BridgeEnvelope ack) {
  const std::uint64_t seq = acknowledged_seq(ack, "validated ack has ack_for_seq");
  std::optional<PendingEnvelope> settled = take_pending(state, seq);
  if (!settled) {
    emit_bridge_event(ctx, bridge_event::LateAckNack{seq, false});
    return;
  }
  emit_bridge_event(ctx, bridge_event::Acked{std::move(ack), std::move(settled->envelope), seq});
}

void apply_nack(const RunContext& ctx, const BridgeStateCell& state, BridgeEnvelope nack) {
  const std::uint64_t seq = acknowledged_seq(nack, "validated nack has ack_for_seq");
  const auto* bytes = nack.payload ? std::get_if<bridge_payload::Bytes>(&*nack.payload) : nullptr;
  Bytes reason = bytes ? bytes->bytes : bytes_of_text(kRemoteNackReason);
  std::optional<PendingEnvelope> settled = take_pending(state, seq);
  if (!settled) {
    emit_bridge_event(ctx, bridge_event::LateAckNack{seq, true});
    return;
  }
  emit_bridge_event(ctx, bridge_event::Nacked{std::move(nack), std::move(settled->envelope), std::move(reason), seq});
}

}  // namespace korvalinth
