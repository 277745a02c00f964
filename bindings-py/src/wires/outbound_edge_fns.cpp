#include "wires/outbound_edge_fns.hpp"

#include <optional>

#include "base/cell.hpp"
#include "kit/gil.hpp"
#include "node/arena/graph_core.hpp"
#include "node/topology/node_ops.hpp"
#include "values/py_object_value.hpp"
#include "values/value_conversions.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/dep_values.hpp"
#include "wire/edge_group/edge_group_status.hpp"

namespace korvalinth::py {

namespace {

std::uint64_t saturating_increment(std::uint64_t n) noexcept { return n == ~std::uint64_t{0} ? n : n + 1; }

class OutboundEdgeFn final : public NodeFn {
 public:
  explicit OutboundEdgeFn(NodeHandle source) : source_(std::move(source)) {}

  // The source's version does not move within a run, so at most the first
  // bytes value of a run goes out.
  void run(RunContext& ctx) override {
    for (const auto& value : collect_dep_values<PyObjectValue>(ctx, 0)) {
      std::optional<NodeVersion> version = version_metadata(source_);
      if (already_emitted(version)) continue;
      kit::GilGuard gil;
      if (!gil.held()) return;
      std::optional<Bytes> bytes = extract_bytes_like(value->object());
      if (!bytes) continue;  // the issues node reports it
      *last_emitted_.borrow_mut() = std::move(version);
      emit_data_record(ctx, std::move(*bytes));
    }
  }

 private:
  bool already_emitted(const std::optional<NodeVersion>& version) const {
    auto last = last_emitted_.borrow();
    return last->has_value() && **last == version;
  }

  NodeHandle source_;
  // Nothing before the first emission; then the source's version record at
  // the last one (itself absent for a source without versioning). It
  // outlives deactivation, so a reactivation does not send a value again.
  Cell<std::optional<std::optional<NodeVersion>>> last_emitted_;
};

class OutboundEdgeIssuesFn final : public NodeFn {
 public:
  OutboundEdgeIssuesFn(std::string base_name, std::string edge_name)
      : message_(base_name + ": outbound edge " + edge_name + " must emit bytes"), edge_name_(std::move(edge_name)) {}

  void run(RunContext& ctx) override {
    for (const auto& value : collect_dep_values<PyObjectValue>(ctx, 0)) {
      kit::GilGuard gil;
      if (!gil.held()) return;
      if (extract_bytes_like(value->object())) continue;
      emit_data_record(ctx, WireEdgeGroupIssue{WireEdgeGroupIssueCode::MalformedFrame, message_, edge_name_,
                                               std::nullopt, std::nullopt});
    }
  }

 private:
  std::string message_;
  std::string edge_name_;
};

class MergedIssuesFn final : public NodeFn {
 public:
  explicit MergedIssuesFn(std::size_t edge_count) : edge_count_(edge_count) {}

  void run(RunContext& ctx) override {
    for (std::size_t dep = 0; dep <= edge_count_; ++dep) {
      for (const auto& issue : collect_dep_values<WireEdgeGroupIssue>(ctx, dep)) emit_data_record(ctx, *issue);
    }
  }

 private:
  std::size_t edge_count_;
};

class MergedStatusFn final : public NodeFn {
 public:
  explicit MergedStatusFn(std::vector<std::string> edge_names) : edge_names_(std::move(edge_names)) {}

  // A core status replaces the running one whole; each edge issue then
  // counts on top of it. The running status lives in the node's aux slot.
  void run(RunContext& ctx) override {
    WireEdgeGroupStatus status = current(ctx.node);
    for (const auto& core_status : collect_dep_values<WireEdgeGroupStatus>(ctx, 0)) {
      status = *core_status;
      emit_data_record(ctx, status);
    }
    for (std::size_t dep = 1; dep <= edge_names_.size(); ++dep) {
      for (const auto& issue : collect_dep_values<WireEdgeGroupIssue>(ctx, dep)) {
        status.state = WireEdgeGroupState::Issues;
        status.active_cause_id.reset();
        status.dirty = 0;
        status.data = 0;
        status.issues = saturating_increment(status.issues);
        status.last_issue = *issue;
        emit_data_record(ctx, status);
      }
    }
    keep_aux_value(ctx.node, make_value<WireEdgeGroupStatus>(std::move(status)));
  }

 private:
  WireEdgeGroupStatus current(const UncountedNode& node) const {
    if (auto kept = aux_value_of<WireEdgeGroupStatus>(node)) return *kept;
    WireEdgeGroupStatus fresh;
    fresh.expected_edges = edge_names_;
    return fresh;
  }

  std::vector<std::string> edge_names_;
};

}  // namespace

SharedNodeFn make_outbound_edge_fn(NodeHandle source) { return std::make_shared<OutboundEdgeFn>(std::move(source)); }

SharedNodeFn make_outbound_edge_issues_fn(std::string base_name, std::string edge_name) {
  return std::make_shared<OutboundEdgeIssuesFn>(std::move(base_name), std::move(edge_name));
}

SharedNodeFn make_merged_issues_fn(std::size_t edge_count) { return std::make_shared<MergedIssuesFn>(edge_count); }

SharedNodeFn make_merged_status_fn(std::vector<std::string> edge_names) {
  return std::make_shared<MergedStatusFn>(std::move(edge_names));
}

}  // namespace korvalinth::py
