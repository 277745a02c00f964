#include "wire/bridge/bridge_projections.hpp"

#include "node/topology/node_ops.hpp"
#include "wire/bridge/dep_values.hpp"
#include "wire/codec/utf8.hpp"

namespace korvalinth {

namespace {

namespace e = bridge_event;
using Type = WireBridgeEnvelopeType;

// Runs pick(ctx, event) for each event of the run, in order.
template <class Pick>
class EventProjectionFn final : public NodeFn {
 public:
  explicit EventProjectionFn(Pick pick) : pick_(std::move(pick)) {}
  void run(RunContext& ctx) override {
    for (const auto& event : collect_dep_values<WireBridgeEvent>(ctx, 0)) pick_(ctx, *event);
  }

 private:
  Pick pick_;
};

template <class Pick>
SharedNodeFn projection(Pick pick) {
  return std::make_shared<EventProjectionFn<Pick>>(std::move(pick));
}

bool awaits_ack(Type type) { return type == Type::Start || type == Type::Data || type == Type::Close; }

// The text of an error fact, if the event is one.
std::optional<std::string> error_text(const std::string& name, const WireBridgeEvent& event) {
  if (const auto* in = std::get_if<e::Inbound>(&event)) {
    if (in->envelope.envelope_type != Type::Error) return std::nullopt;
    const auto& payload = in->envelope.payload;
    const auto* bytes = payload ? std::get_if<bridge_payload::Bytes>(&*payload) : nullptr;
    return bytes ? text_from_bytes_lossy(bytes->bytes) : std::string("remote error envelope");
  }
  if (const auto* nacked = std::get_if<e::Nacked>(&event)) return text_from_bytes_lossy(nacked->reason);
  if (const auto* exhausted = std::get_if<e::RetryExhausted>(&event)) return exhausted->message;
  if (const auto* protocol = std::get_if<e::ProtocolError>(&event)) return protocol->message;
  if (const auto* gap = std::get_if<e::InboundGap>(&event))
    return name + ": inbound seq " + std::to_string(gap->seq) + " arrived before expected seq " +
           std::to_string(gap->expected);
  if (const auto* mismatch = std::get_if<e::SessionMismatch>(&event))
    return name + ": inbound session " + mismatch->received + " did not match expected " + mismatch->expected;
  if (const auto* late = std::get_if<e::LateAckNack>(&event))
    return name + ": late " + std::string(ack_kind_name(late->is_nack)) + " for unknown or completed ack_for_seq " +
           std::to_string(late->ack_for_seq);
  return std::nullopt;
}

}  // namespace

std::string_view ack_kind_name(bool is_nack) noexcept { return is_nack ? "Nack" : "Ack"; }

SharedNodeFn make_bridge_outbound_fn() {
  return projection([](const RunContext& ctx, const WireBridgeEvent& event) {
    if (const auto* out = std::get_if<e::Outbound>(&event)) emit_data_record(ctx, out->envelope);
  });
}

SharedNodeFn make_bridge_acks_fn() {
  return projection([](const RunContext& ctx, const WireBridgeEvent& event) {
    if (const auto* acked = std::get_if<e::Acked>(&event))
      emit_data_record(ctx, WireBridgeAck{acked->ack, acked->ack_for_seq});
  });
}

SharedNodeFn make_bridge_nacks_fn() {
  return projection([](const RunContext& ctx, const WireBridgeEvent& event) {
    if (const auto* nacked = std::get_if<e::Nacked>(&event))
      emit_data_record(ctx, WireBridgeNack{nacked->nack, nacked->reason, nacked->ack_for_seq});
  });
}

SharedNodeFn make_bridge_cursor_fn() {
  return projection([](const RunContext& ctx, const WireBridgeEvent& event) {
    if (const auto* cursor = std::get_if<e::Cursor>(&event)) emit_data_record(ctx, std::uint64_t{cursor->seq});
  });
}

SharedNodeFn make_bridge_attempts_fn() {
  return projection([](const RunContext& ctx, const WireBridgeEvent& event) {
    const auto* out = std::get_if<e::Outbound>(&event);
    if (!out || !awaits_ack(out->envelope.envelope_type)) return;
    emit_data_record(ctx, WireBridgeAttempt{out->envelope.seq, out->envelope.attempt, out->envelope.max_attempts});
  });
}

SharedNodeFn make_bridge_errors_fn(std::string bridge_name) {
  return projection([name = std::move(bridge_name)](const RunContext& ctx, const WireBridgeEvent& event) {
    if (std::optional<std::string> text = error_text(name, event)) emit_data_record(ctx, std::move(*text));
  });
}

}  // namespace korvalinth
