#pragma once
// {name}/status: after every run, one summary of the group built from the
// frame traffic's issues and the gate's events; the summary lives between
// runs in the node's aux slot.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "node/arena/node_fn.hpp"
#include "wire/edge_group/edge_group_records.hpp"

namespace korvalinth {

// What the last applied input was; idle only before any.
enum class WireEdgeGroupState : std::uint8_t { Idle = 0, Collecting = 1, Released = 2, Issues = 3 };

// "idle", "collecting", "released", "issues".
std::string_view group_state_text(WireEdgeGroupState state) noexcept;

struct WireEdgeGroupStatus {
  WireEdgeGroupState state = WireEdgeGroupState::Idle;
  std::vector<std::string> expected_edges;  // as configured
  std::optional<std::string> active_cause_id;
  std::uint64_t dirty = 0;     // DIRTY accepted for the active cause
  std::uint64_t data = 0;      // DATA accepted for the active cause
  std::uint64_t released = 0;  // edge values released over the node's life; saturates
  std::uint64_t issues = 0;    // issues counted; saturates
  std::optional<WireEdgeGroupIssue> last_issue;
  bool operator==(const WireEdgeGroupStatus&) const = default;
};

// Deps: 0 {name}/events, 1 {name}/gate.
SharedNodeFn make_edge_group_status_fn(std::vector<std::string> expected_edges);

}  // namespace korvalinth
