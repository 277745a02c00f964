#include "wire/bridge/bridge_processor.hpp"

#include <algorithm>
#include <limits>

#include "node/arena/graph_core.hpp"
#include "wire/bridge/replay_filter.hpp"

namespace korvalinth {

namespace {

constexpr std::size_t kCommandDep = 0;
constexpr std::size_t kInboundDep = 1;

// Deactivation forgets the pending envelopes. The runtime drops the release
// callbacks a run registered when the next run starts, so every run
// registers the callback again; it stays armed until the node deactivates.
void arm_deactivation_hook(const RunContext& ctx, const SharedContent<BridgeStateCell>& state) {
  state->borrow_mut()->deactivation_hook_armed = true;
  add_release_callback(ctx.node, [state] {
    std::map<std::uint64_t, PendingEnvelope> forgotten;
    {
      auto s = state->borrow_mut();
      s->deactivation_hook_armed = false;
      forgotten = std::exchange(s->pending, {});
    }
  });
}

// A COMPLETE or ERROR of the inbound node is local misuse: the peer's end
// arrives as envelopes.
void report_terminal_inbound(const RunContext& ctx, const BridgeSession& session) {
  if (ctx.inputs.size() <= kInboundDep || !ctx.inputs[kInboundDep].terminal().present) return;
  const auto& error = ctx.inputs[kInboundDep].terminal().error;
  if (!error) {
    emit_protocol_error(ctx, session.session_id +
                                 ": inbound protocol COMPLETE is local misuse; remote completion must arrive as a "
                                 "DATA envelope fact");
    return;
  }
  emit_protocol_error(ctx, session.session_id + ": inbound protocol ERROR " + *error +
                               " is local misuse; remote errors must arrive as DATA envelope facts");
}

class BridgeEventsFn final : public NodeFn {
 public:
  explicit BridgeEventsFn(BridgeSession session) : session_(std::move(session)) {}

  void run(RunContext& ctx) override {
    // Installed on the first run, kept across deactivations.
    auto state = installed_bridge_state(ctx.node);
    const bool activated = !state->borrow()->deactivation_hook_armed;
    arm_deactivation_hook(ctx, state);
    std::vector<std::vector<SharedValue>> values = replays_.fresh_values(ctx);
    values.resize(std::max<std::size_t>(values.size(), 2));  // a missing dep gives no values
    // The first run since the processor last ran reports first what an edge
    // group accepted meanwhile, whatever this run's own items are.
    if (activated) report_acceptances(ctx, *state, std::numeric_limits<std::uint64_t>::max());
    for (const SharedValue& v : values[kInboundDep]) handle_inbound_value(ctx, *state, session_, v);
    for (const SharedValue& v : values[kCommandDep]) handle_command_value(ctx, *state, session_, v);
    report_terminal_inbound(ctx, session_);
  }

 private:
  BridgeSession session_;
  ReplayFilter replays_;  // the function lives as long as the node
};

}  // namespace

SharedNodeFn make_bridge_events_fn(BridgeSession session) {
  return std::make_shared<BridgeEventsFn>(std::move(session));
}

}  // namespace korvalinth
