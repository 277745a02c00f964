#include "wire/edge_group/frame_traffic.hpp"

#include "base/index_fault.hpp"
#include "identity/string_tuple_id.hpp"
#include "node/wave/down.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/bridge_processor.hpp"
#include "wire/bridge/dep_values.hpp"
#include "wire/bridge/inbound_acceptance.hpp"
#include "wire/edge_group/frame_checks.hpp"

namespace korvalinth {

namespace {

void emit_traffic_record(const RunContext& ctx, WireEdgeGroupTraffic record) {
  down(ctx.node, Message::data(make_value<WireEdgeGroupTraffic>(std::move(record))));
}

edge_traffic::Issue outbound_issue(WireEdgeGroupIssueCode code, std::string message, const std::string& edge_id) {
  return edge_traffic::Issue{WireEdgeGroupIssue{code, std::move(message), edge_id, std::nullopt, std::nullopt}};
}

edge_traffic::Command frame_command(WireEdgeFrame frame) {
  return edge_traffic::Command{bridge_command::Data{WireBridgeDataBody(std::move(frame)), std::nullopt, std::nullopt}};
}

// Versions, not bytes, decide freshness: once a cause went out, a value is
// admitted only under a version the edge has neither pending nor last sent.
bool is_fresh(const WireEdgeGroupOutState& s, const std::string& edge_id, const std::optional<NodeVersion>& version) {
  if (!s.cause_sent) return true;
  if (!version) return false;
  if (auto p = s.pending_snapshots.find(edge_id); p != s.pending_snapshots.end() && p->second.version == version) {
    return false;
  }
  auto l = s.last_sent_versions.find(edge_id);
  return l == s.last_sent_versions.end() || l->second != version;
}

class EdgeGroupFrameFn final : public NodeFn {
 public:
  explicit EdgeGroupFrameFn(EdgeGroupFrameConfig config) : config_(std::move(config)) {}

  void run(RunContext& ctx) override {
    auto state = installed_aux_state<OutStateCell>(ctx.node, "wire-edge out state was just installed");
    if (admit_outbound(ctx, *state)) send_when_complete(ctx, *state);
    pass_inbound(ctx);
  }

 private:
  // Takes every outbound value of the run; true when the snapshots changed.
  bool admit_outbound(const RunContext& ctx, const OutStateCell& state) {
    bool changed = false;
    for (std::size_t i = 0; i < config_.dep_edges.size(); ++i) {
      check_index(config_.edges.size(), config_.dep_edges[i]);
      const WireEdgeGroupEdge& edge = config_.edges[config_.dep_edges[i]];
      if (i >= ctx.inputs.size()) continue;
      for (const DeliveryView delivery : ctx.inputs[i].deliveries()) {
        for (const SharedValue& value : delivery) changed = admit_value(ctx, state, edge, value) || changed;
      }
    }
    return changed;
  }

  bool admit_value(const RunContext& ctx, const OutStateCell& state, const WireEdgeGroupEdge& edge,
                   const SharedValue& value) {
    if (!value) {
      state.borrow_mut()->pending_snapshots.erase(edge.edge_id);
      return true;
    }
    const Bytes* bytes = value_cast<Bytes>(value);
    if (!bytes) {
      emit_traffic_record(ctx, outbound_issue(WireEdgeGroupIssueCode::MalformedFrame,
                                              config_.name + ": outbound edge " + edge.edge_id +
                                                  " must emit Vec<u8> bytes",
                                              edge.edge_id));
      state.borrow_mut()->pending_snapshots.erase(edge.edge_id);
      return false;
    }
    // Every value of one run sees the node's version as it is now.
    std::optional<NodeVersion> version = edge.node ? version_metadata(*edge.node) : std::nullopt;
    if (!is_fresh(*state.borrow(), edge.edge_id, version)) return false;
    state.borrow_mut()->pending_snapshots[edge.edge_id] = OutboundSnapshot{*bytes, std::move(version)};
    return true;
  }

  void send_when_complete(const RunContext& ctx, const OutStateCell& state) {
    std::vector<std::string> missing;
    {
      auto s = state.borrow();
      for (const WireEdgeGroupEdge& e : config_.edges) {
        if (!s->pending_snapshots.contains(e.edge_id)) missing.push_back(e.edge_id);
      }
    }
    for (const std::string& edge_id : missing) {
      emit_traffic_record(ctx, outbound_issue(WireEdgeGroupIssueCode::MissingSnapshot,
                                              config_.name + ": missing outbound snapshot for edge " + edge_id,
                                              edge_id));
    }
    if (missing.empty()) send_cause(ctx, state);
  }

  void send_cause(const RunContext& ctx, const OutStateCell& state) {
    std::string cause_id;
    {
      auto s = state.borrow_mut();
      cause_id = edge_group_cause_id(config_.name, s->next_cause);
      if (s->next_cause != kLastCauseNumber) s->next_cause += 1;
    }
    for (const WireEdgeGroupEdge& e : config_.edges) {
      emit_traffic_record(ctx, frame_command(WireEdgeFrame{WireEdgeFrameKind::Dirty, e.edge_id, cause_id, {}}));
    }
    // The DATA frames carry the snapshots as they stood after the DIRTY pass.
    std::map<std::string, OutboundSnapshot> sent = state.borrow()->pending_snapshots;
    for (const WireEdgeGroupEdge& e : config_.edges) {
      if (auto it = sent.find(e.edge_id); it != sent.end()) {
        emit_traffic_record(ctx,
                            frame_command(WireEdgeFrame{WireEdgeFrameKind::Data, e.edge_id, cause_id, it->second.bytes}));
      }
    }
    auto s = state.borrow_mut();
    s->last_sent_versions.clear();
    for (const WireEdgeGroupEdge& e : config_.edges) {
      if (auto it = sent.find(e.edge_id); it != sent.end()) s->last_sent_versions[e.edge_id] = it->second.version;
    }
    s->pending_snapshots.clear();
    s->cause_sent = true;
  }

  void pass_inbound(const RunContext& ctx) {
    for (const auto& item : collect_dep_values<BridgeInbound>(ctx, config_.dep_edges.size())) {
      if (std::optional<WireEdgeGroupTraffic> record =
              judge_bridge_inbound(config_.name, config_.session_id, *item, accepted_by_session(ctx, item))) {
        emit_traffic_record(ctx, std::move(*record));
      }
    }
  }

  // Asked for every envelope delivered, so that the session's verdicts on
  // deliveries line up with the processor's whichever of the two runs first.
  bool accepted_by_session(const RunContext& ctx, const SharedContent<BridgeInbound>& item) const {
    const auto* envelope = std::get_if<bridge_inbound::Envelope>(item.get());
    if (!envelope) return false;
    auto state = installed_bridge_state(config_.bridge_processor);
    return !take_inbound_verdict(*state, config_.session_id,
                                 SharedContent<bridge_inbound::Envelope>(item.value(), envelope), ctx.node.key())
                .refusal;
  }

  EdgeGroupFrameConfig config_;
};

}  // namespace

SharedNodeFn make_edge_group_frame_fn(EdgeGroupFrameConfig config) {
  return std::make_shared<EdgeGroupFrameFn>(std::move(config));
}

std::string edge_group_cause_id(const std::string& name, CauseNumber number) {
  return "wire-edge-group-cause:" + string_tuple_id_with_counter(name, number);
}

std::optional<std::string> cause_id_limit_breach(const std::string& name) {
  const std::size_t longest = edge_group_cause_id(name, kLastCauseNumber).size();
  if (longest <= kMaxCauseIdBytes) return std::nullopt;
  return "name makes cause_id exceed " + std::to_string(kMaxCauseIdBytes) + " bytes (up to " +
         std::to_string(longest) + " bytes)";
}

}  // namespace korvalinth
