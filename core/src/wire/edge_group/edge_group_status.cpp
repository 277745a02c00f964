#include "wire/edge_group/edge_group_status.hpp"

#include "node/wave/down.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/dep_values.hpp"

namespace korvalinth {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return b > ~std::uint64_t{0} - a ? ~std::uint64_t{0} : a + b;
}

void count_issue(WireEdgeGroupStatus& s, const WireEdgeGroupIssue& issue) {
  s.issues = saturating_add(s.issues, 1);
  s.last_issue = issue;
  s.state = WireEdgeGroupState::Issues;
}

void apply_gate_event(WireEdgeGroupStatus& s, const WireEdgeGroupGateEvent& event) {
  if (const auto* i = std::get_if<gate_event::Issue>(&event)) {
    count_issue(s, i->issue);
    s.active_cause_id.reset();
    s.dirty = 0;
    s.data = 0;
  } else if (const auto* c = std::get_if<gate_event::Collecting>(&event)) {
    s.active_cause_id = c->cause_id;
    s.dirty = c->dirty_count;
    s.data = c->data_count;
    s.state = WireEdgeGroupState::Collecting;
  } else if (const auto* r = std::get_if<gate_event::Released>(&event)) {
    s.active_cause_id.reset();
    s.dirty = 0;
    s.data = 0;
    s.released = saturating_add(s.released, r->edge_count);
    s.state = WireEdgeGroupState::Released;
  }
}

class EdgeGroupStatusFn final : public NodeFn {
 public:
  explicit EdgeGroupStatusFn(std::vector<std::string> expected_edges) : expected_edges_(std::move(expected_edges)) {}

  void run(RunContext& ctx) override {
    WireEdgeGroupStatus status;
    if (auto previous = aux_value_of<WireEdgeGroupStatus>(ctx.node)) {
      status = *previous;
    } else {
      status.expected_edges = expected_edges_;
    }
    for (const auto& record : collect_dep_values<WireEdgeGroupTraffic>(ctx, 0)) {
      if (const auto* i = std::get_if<edge_traffic::Issue>(record.get())) count_issue(status, i->issue);
    }
    for (const auto& event : collect_dep_values<WireEdgeGroupGateEvent>(ctx, 1)) apply_gate_event(status, *event);
    keep_aux_value(ctx.node, make_value<WireEdgeGroupStatus>(status));
    down(ctx.node, Message::data(make_value<WireEdgeGroupStatus>(std::move(status))));
  }

 private:
  std::vector<std::string> expected_edges_;
};

}  // namespace

std::string_view group_state_text(WireEdgeGroupState state) noexcept {
  switch (state) {
    case WireEdgeGroupState::Idle:
      return "idle";
    case WireEdgeGroupState::Collecting:
      return "collecting";
    case WireEdgeGroupState::Released:
      return "released";
    case WireEdgeGroupState::Issues:
      return "issues";
  }
  return "idle";
}

SharedNodeFn make_edge_group_status_fn(std::vector<std::string> expected_edges) {
  return std::make_shared<EdgeGroupStatusFn>(std::move(expected_edges));
}

}  // namespace korvalinth
