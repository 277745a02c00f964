#include <algorithm>
#include <limits>

#include "node/arena/graph_core.hpp"
#include "node/topology/node_ops.hpp"
#include "wire/bridge/bridge_projections.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/dep_values.hpp"

namespace korvalinth {

namespace {

namespace e = bridge_event;
using State = WireBridgeStatusState;
using Type = WireBridgeEnvelopeType;

void increment(std::uint64_t& n) {
  if (n != std::numeric_limits<std::uint64_t>::max()) ++n;
}
void decrement(std::uint64_t& n) {
  if (n != 0) --n;
}

void fold_outbound(WireBridgeStatus& s, const BridgeEnvelope& env) {
  s.last_seq = env.seq;
  std::uint64_t after = env.seq;
  increment(after);
  s.next_seq = std::max(s.next_seq, after);
  const bool first = env.attempt == 1;
  switch (env.envelope_type) {
    case Type::Start:
    case Type::Data:
      s.state = env.envelope_type == Type::Start ? State::Started : State::Open;
      if (first) increment(s.pending);
      increment(s.attempts);
      return;
    case Type::Close:
      // Only the close awaits an acknowledgement now; a retried one reports none.
      s.state = State::Closed;
      s.pending = first ? 1 : 0;
      increment(s.attempts);
      return;
    default:
      s.state = State::Open;
  }
}

void fold_error(WireBridgeStatus& s, std::optional<std::uint64_t> seq = std::nullopt) {
  increment(s.errors);
  if (seq) s.last_seq = seq;
  s.state = State::Errored;
}

class BridgeStatusFn final : public NodeFn {
 public:
  explicit BridgeStatusFn(std::string session_id) : session_id_(std::move(session_id)) {}

  void run(RunContext& ctx) override {
    SharedContent<WireBridgeStatus> kept = aux_value_of<WireBridgeStatus>(ctx.node);
    WireBridgeStatus status;
    if (kept) status = *kept;
    else status.session_id = session_id_;
    for (const auto& event : collect_dep_values<WireBridgeEvent>(ctx, 0)) fold_status_event(status, *event);
    keep_aux_value(ctx.node, make_value<WireBridgeStatus>(status));
    emit_data_record(ctx, std::move(status));
  }

 private:
  std::string session_id_;
};

}  // namespace

std::string_view status_state_name(WireBridgeStatusState state) noexcept {
  static constexpr std::string_view kNames[] = {"idle", "started", "open", "waiting", "closed", "errored", "exhausted"};
  return kNames[static_cast<int>(state)];
}

void fold_status_event(WireBridgeStatus& s, const WireBridgeEvent& event) {
  if (const auto* out = std::get_if<e::Outbound>(&event)) {
    fold_outbound(s, out->envelope);
  } else if (const auto* in = std::get_if<e::Inbound>(&event)) {
    if (in->envelope.envelope_type == Type::Error) {
      fold_error(s, in->envelope.seq);
    } else if (in->envelope.envelope_type == Type::Close) {
      s.last_seq = in->envelope.seq;
      s.state = State::Closed;
    }
  } else if (const auto* acked = std::get_if<e::Acked>(&event)) {
    decrement(s.pending);
    increment(s.acked);
    s.last_seq = acked->ack.seq;
    s.state = acked->acked.envelope_type == Type::Close ? State::Closed : State::Open;
  } else if (const auto* nacked = std::get_if<e::Nacked>(&event)) {
    decrement(s.pending);
    increment(s.nacked);
    fold_error(s, nacked->nack.seq);
  } else if (const auto* scheduled = std::get_if<e::RetryScheduled>(&event)) {
    s.last_seq = scheduled->seq;
    s.last_delay_ms = scheduled->delay_ms;
    s.state = State::Waiting;
  } else if (const auto* exhausted = std::get_if<e::RetryExhausted>(&event)) {
    decrement(s.pending);
    fold_error(s, exhausted->seq);
    s.state = State::Exhausted;
  } else if (const auto* cursor = std::get_if<e::Cursor>(&event)) {
    s.cursor = cursor->seq;
  } else if (const auto* gap = std::get_if<e::InboundGap>(&event)) {
    fold_error(s, gap->seq);
  } else if (std::holds_alternative<e::SessionMismatch>(event) || std::holds_alternative<e::LateAckNack>(event) ||
             std::holds_alternative<e::ProtocolError>(event)) {
    fold_error(s);
  }
  // AckTimeout and StaleInbound change nothing.
}

SharedNodeFn make_bridge_status_fn(std::string session_id) {
  return std::make_shared<BridgeStatusFn>(std::move(session_id));
}

}  // namespace korvalinth
