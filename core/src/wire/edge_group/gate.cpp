#include "wire/edge_group/gate.hpp"

#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/dep_values.hpp"

namespace korvalinth {

namespace {

using Code = WireEdgeGroupIssueCode;

WireEdgeGroupIssue gate_issue(Code code, std::string message, std::optional<std::string> edge_id,
                              std::optional<std::string> cause_id, std::optional<std::string> active = std::nullopt) {
  return WireEdgeGroupIssue{code, std::move(message), std::move(edge_id), std::move(cause_id), std::move(active)};
}

class GateRun {
 public:
  GateRun(const EdgeGroupGateConfig& config, const std::unordered_set<std::string>& expected, RunContext& ctx,
          const GateStateCell& state)
      : config_(config), expected_(expected), ctx_(ctx), state_(state) {}

  void handle(const WireEdgeGroupTraffic& record) {
    if (const auto* f = std::get_if<edge_traffic::Frame>(&record)) {
      admit(f->frame);
    } else if (const auto* i = std::get_if<edge_traffic::Issue>(&record)) {
      upstream_issue(i->issue);
    } else if (std::holds_alternative<edge_traffic::End>(record)) {
      end_of_stream();
    }
  }

 private:
  std::string prefix() const { return config_.name + ": "; }

  void emit(WireEdgeGroupGateEvent event) {
    down(ctx_.node, Message::data(make_value<WireEdgeGroupGateEvent>(std::move(event))));
  }
  void emit_issue(WireEdgeGroupIssue issue) { emit(gate_event::Issue{std::move(issue)}); }
  void emit_collecting(const std::string& cause_id) {
    std::uint64_t dirty = 0;
    std::uint64_t data = 0;
    {
      auto s = state_.borrow();
      dirty = s->dirty_edges.size();
      data = s->data_values.size();
    }
    emit(gate_event::Collecting{cause_id, dirty, data});
  }

  std::optional<std::string> active() const { return state_.borrow()->active_cause_id; }
  void fail_closed(const std::string& cause_id) { state_.borrow_mut()->failed_closed.remember(cause_id); }
  void reset() {
    auto s = state_.borrow_mut();
    s->active_cause_id.reset();
    s->dirty_edges.clear();
    s->data_values.clear();
  }
  // The breach kills the arriving cause and leaves the gate idle.
  void breach(WireEdgeGroupIssue issue, const std::string& cause_id) {
    emit_issue(std::move(issue));
    fail_closed(cause_id);
    reset();
  }

  void fail_competing_cause(const std::optional<std::string>& edge_id, const std::string& arriving,
                            const std::string& active_id) {
    emit_issue(gate_issue(Code::CompetingCause,
                          prefix() + "competing cause " + arriving + " arrived while " + active_id + " is active",
                          edge_id, arriving, active_id));
    emit_issue(gate_issue(Code::IncompleteCause, prefix() + "active cause " + active_id + " is incomplete",
                          std::nullopt, active_id));
    fail_closed(active_id);
    reset();
    fail_closed(arriving);
  }

  void admit(const WireEdgeFrame& frame) {
    const std::string& edge = frame.edge_id;
    const std::string& cause = frame.cause_id;
    const bool dirty = frame.kind == WireEdgeFrameKind::Dirty;
    bool failed = false;
    bool released = false;
    {
      auto s = state_.borrow();
      failed = s->failed_closed.contains(cause);
      released = s->released_causes.contains(cause);
    }
    if (failed) {
      emit_issue(gate_issue(Code::IncompleteCause, prefix() + "cause " + cause + " was already failed closed", edge,
                            cause));
      return;
    }
    if (released) {
      emit_issue(gate_issue(dirty ? Code::DuplicateDirty : Code::DuplicateData,
                            prefix() + "cause " + cause + " was already released", edge, cause));
      return;
    }
    if (std::optional<std::string> a = active(); a && *a != cause) {
      fail_competing_cause(edge, cause, *a);
      return;
    }
    if (!expected_.contains(edge)) {
      breach(gate_issue(Code::UnknownEdge, prefix() + "unknown edge " + edge, edge, cause), cause);
      return;
    }
    if (dirty) {
      admit_dirty(edge, cause);
    } else {
      admit_data(edge, cause, frame.value);
    }
  }

  void admit_dirty(const std::string& edge, const std::string& cause) {
    bool repeated = false;
    {
      auto s = state_.borrow_mut();
      if (!s->active_cause_id) s->active_cause_id = cause;
      repeated = !s->dirty_edges.insert(edge).second;
    }
    if (repeated) {
      breach(gate_issue(Code::DuplicateDirty, prefix() + "duplicate DIRTY for edge " + edge, edge, cause), cause);
      return;
    }
    emit_collecting(cause);
  }

  void admit_data(const std::string& edge, const std::string& cause, const std::optional<Bytes>& value) {
    bool idle = false;
    bool before_dirty = false;
    bool repeated = false;
    bool completes = false;
    {
      auto s = state_.borrow();
      idle = !s->active_cause_id;
      before_dirty = !s->dirty_edges.contains(edge);
      repeated = s->data_values.contains(edge);
      const std::size_t n = config_.edges.size();
      completes = s->dirty_edges.size() == n && s->data_values.size() + 1 == n;
    }
    if (idle) {
      breach(gate_issue(Code::DataBeforeDirty,
                        prefix() + "DATA for edge " + edge + " arrived without an active cause", edge, cause),
             cause);
    } else if (before_dirty) {
      breach(gate_issue(Code::DataBeforeDirty, prefix() + "DATA for edge " + edge + " arrived before DIRTY", edge,
                        cause),
             cause);
    } else if (repeated) {
      breach(gate_issue(Code::DuplicateData, prefix() + "duplicate DATA for edge " + edge, edge, cause), cause);
    } else if (completes) {
      complete(edge, cause, value.value_or(Bytes{}));
    } else {
      state_.borrow_mut()->data_values.emplace(edge, value.value_or(Bytes{}));
      emit_collecting(cause);
    }
  }

  void complete(const std::string& edge, const std::string& cause, Bytes last) {
    WireEdgeGroupRelease release{cause, {}};
    {
      auto s = state_.borrow();
      for (const std::string& id : config_.edges) {
        if (id == edge) {
          release.values.emplace(id, last);
        } else if (auto it = s->data_values.find(id); it != s->data_values.end()) {
          release.values.emplace(id, it->second);
        }
      }
    }
    emit(gate_event::Released{cause, release.values.size()});
    gate_emit_in_wave_scope(config_.release_node, std::move(release));
    state_.borrow_mut()->released_causes.remember(cause);
    reset();
  }

  void upstream_issue(const WireEdgeGroupIssue& issue) {
    emit_issue(issue);
    if (!issue.cause_id) return;
    const std::string& cause = *issue.cause_id;
    std::optional<std::string> a = active();
    if (!a) {
      fail_closed(cause);
    } else if (*a == cause) {
      fail_closed(cause);
      reset();
    } else {
      fail_competing_cause(issue.edge_id, cause, *a);
    }
  }

  void end_of_stream() {
    std::optional<std::string> a = active();
    if (!a) return;
    breach(gate_issue(Code::IncompleteCause,
                      prefix() + "cause " + *a + " ended before all expected edge frames arrived", std::nullopt, *a),
           *a);
  }

  const EdgeGroupGateConfig& config_;
  const std::unordered_set<std::string>& expected_;
  RunContext& ctx_;
  const GateStateCell& state_;
};

class EdgeGroupGateFn final : public NodeFn {
 public:
  explicit EdgeGroupGateFn(EdgeGroupGateConfig config)
      : config_(std::move(config)), expected_(config_.edges.begin(), config_.edges.end()) {}

  void run(RunContext& ctx) override {
    auto state = installed_aux_state<GateStateCell>(ctx.node, "wire-edge gate state was just installed");
    GateRun gate(config_, expected_, ctx, *state);
    for (const auto& record : collect_dep_values<WireEdgeGroupTraffic>(ctx, 0)) gate.handle(*record);
  }

 private:
  EdgeGroupGateConfig config_;
  std::unordered_set<std::string> expected_;
};

}  // namespace

SharedNodeFn make_edge_group_gate_fn(EdgeGroupGateConfig config) {
  return std::make_shared<EdgeGroupGateFn>(std::move(config));
}

void gate_emit_in_wave_scope(const UncountedNode& node, WireEdgeGroupRelease release) {
  MessageList messages = one_message(Message::data(make_value<WireEdgeGroupRelease>(std::move(release))));
  down_in_wave_scope(node, std::move(messages));
}

}  // namespace korvalinth
