#pragma once
// The frame traffic of a wire edge group ({name}/events), the group's only
// contact with its bridge's traffic. Outbound: the latest fresh value of each
// outbound edge is kept as a snapshot; once every edge has one, a cause is
// cut: a DIRTY frame per edge, then a DATA frame per edge, each a bridge
// Data command. Inbound: every envelope on the bridge's inbound node is
// checked, and the edge frame of each one the bridge's session accepted is
// passed on to the gate, or the reason reported.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/cell.hpp"
#include "node/arena/node_fn.hpp"
#include "node/arena/node_version.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/edge_group/edge_group_edge.hpp"
#include "wire/edge_group/edge_group_records.hpp"

namespace korvalinth {

struct OutboundSnapshot {
  Bytes bytes;
  std::optional<NodeVersion> version;  // the edge node's version when admitted
};

using CauseNumber = std::uint64_t;
// The counter stays here once it gets here: the last, and longest, number.
inline constexpr CauseNumber kLastCauseNumber = std::numeric_limits<CauseNumber>::max();

struct WireEdgeGroupOutState {
  CauseNumber next_cause = 1;
  std::map<std::string, OutboundSnapshot> pending_snapshots;  // admitted since the last cause
  std::map<std::string, std::optional<NodeVersion>> last_sent_versions;
  bool cause_sent = false;
};

using OutStateCell = Cell<WireEdgeGroupOutState>;

struct EdgeGroupFrameConfig {
  std::string name;
  std::vector<WireEdgeGroupEdge> edges;  // input order
  std::vector<std::size_t> dep_edges;    // dep i carries edges[dep_edges[i]]; the bridge dep follows
  std::string session_id;
  NodeHandle bridge_processor;  // {bridge}/events, whose session judges the inbound envelopes
};

// The node function of {name}/events; deps: the outbound edges' nodes as
// dep_edges lists them, then the bridge's {bridge}/inbound node.
SharedNodeFn make_edge_group_frame_fn(EdgeGroupFrameConfig config);

// The outbound state in the events node's aux slot; null before its first run.
inline SharedContent<OutStateCell> out_state_of(const UncountedNode& events) {
  return aux_value_of<OutStateCell>(events);
}

// "wire-edge-group-cause:" and the string tuple of the name and the number.
std::string edge_group_cause_id(const std::string& name, CauseNumber number);

// Why a group of this name may not send causes: some cause id it would make
// (the longest is the last number's) is longer than a receiving group
// accepts. None when every one is accepted.
std::optional<std::string> cause_id_limit_breach(const std::string& name);

// What one inbound bridge item means to the group: a Frame for the gate, an
// Issue, an End, or nothing. `accepted` tells whether the bridge's session
// accepted the envelope: a valid envelope of this session that it refused
// (stale, beyond a gap, its cursor regressed) is passed over silently.
std::optional<WireEdgeGroupTraffic> judge_bridge_inbound(const std::string& name, const std::string& session_id,
                                                          const BridgeInbound& item, bool accepted);

}  // namespace korvalinth
