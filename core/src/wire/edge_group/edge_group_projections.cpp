#include "wire/edge_group/edge_group_projections.hpp"

#include "node/wave/down.hpp"
#include "wire/edge_group/edge_group_records.hpp"
#include "wire/bridge/dep_values.hpp"

namespace korvalinth {

namespace {

template <class T>
void emit_copy(const RunContext& ctx, const T& value) {
  down(ctx.node, Message::data(make_value<T>(value)));
}

class EdgeGroupIssuesFn final : public NodeFn {
 public:
  void run(RunContext& ctx) override {
    for (const auto& record : collect_dep_values<WireEdgeGroupTraffic>(ctx, 0)) {
      if (const auto* i = std::get_if<edge_traffic::Issue>(record.get())) emit_copy(ctx, i->issue);
    }
    for (const auto& event : collect_dep_values<WireEdgeGroupGateEvent>(ctx, 1)) {
      if (const auto* i = std::get_if<gate_event::Issue>(event.get())) emit_copy(ctx, i->issue);
    }
  }
};

class EdgeGroupCommandsFn final : public NodeFn {
 public:
  void run(RunContext& ctx) override {
    for (const auto& record : collect_dep_values<WireEdgeGroupTraffic>(ctx, 0)) {
      // The record's own value, not a copy (see edge_traffic::Command).
      if (const auto* c = std::get_if<edge_traffic::Command>(record.get())) {
        down(ctx.node, Message::data(c->command.value()));
      }
    }
  }
};

class EdgeGroupInboundEdgeFn final : public NodeFn {
 public:
  explicit EdgeGroupInboundEdgeFn(std::string edge_id) : edge_id_(std::move(edge_id)) {}

  void run(RunContext& ctx) override {
    for (const auto& release : collect_dep_values<WireEdgeGroupRelease>(ctx, 0)) {
      if (auto it = release->values.find(edge_id_); it != release->values.end()) emit_copy(ctx, it->second);
    }
  }

 private:
  std::string edge_id_;
};

}  // namespace

SharedNodeFn make_edge_group_issues_fn() { return std::make_shared<EdgeGroupIssuesFn>(); }
SharedNodeFn make_edge_group_commands_fn() { return std::make_shared<EdgeGroupCommandsFn>(); }
SharedNodeFn make_edge_group_inbound_edge_fn(std::string edge_id) {
  return std::make_shared<EdgeGroupInboundEdgeFn>(std::move(edge_id));
}

}  // namespace korvalinth
