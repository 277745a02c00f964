#pragma once
// The gate of a wire edge group ({name}/gate): admits inbound edge frames
// cause by cause and releases a cause as a whole once every edge sent one
// DIRTY and then one DATA under it; every breach is an issue and fails the
// cause closed for good.

#include <cstddef>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/cell.hpp"
#include "node/arena/node_fn.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/edge_group/bounded_cause_set.hpp"
#include "wire/edge_group/edge_group_records.hpp"

namespace korvalinth {

// How many finished causes each of the gate's two sets remembers.
inline constexpr std::size_t kRememberedCauses = 1024;

struct WireEdgeGroupGateState {
  BoundedCauseSet failed_closed{kRememberedCauses};
  BoundedCauseSet released_causes{kRememberedCauses};
  std::optional<std::string> active_cause_id;
  std::unordered_set<std::string> dirty_edges;  // DIRTY accepted for the active cause
  std::map<std::string, Bytes> data_values;     // DATA accepted for the active cause
};

using GateStateCell = Cell<WireEdgeGroupGateState>;

struct EdgeGroupGateConfig {
  std::string name;
  std::vector<std::string> edges;  // input order; a cause needs all of them
  NodeHandle release_node;         // {name}/release
};

// The gate's node function; its one dep is {name}/events.
SharedNodeFn make_edge_group_gate_fn(EdgeGroupGateConfig config);

// The state in the gate node's aux slot; null before the gate's first run.
inline SharedContent<GateStateCell> gate_state_of(const UncountedNode& gate) {
  return aux_value_of<GateStateCell>(gate);
}

// Delivers [DATA(release)] from node inside a wave scope: joins the running
// wave, or owns a new one and ends it.
void gate_emit_in_wave_scope(const UncountedNode& node, WireEdgeGroupRelease release);

}  // namespace korvalinth
