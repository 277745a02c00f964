#pragma once
// Who holds a GraphCore, for the host's cycle collector. Host objects (a
// Graph's container, the handles of Nodes and Subscriptions) hold references
// to a core from outside; the core's own arena holds more (the deps and the
// dep-sink links of its nodes). When the references the host's objects hold
// are all the core has besides its arena's, those objects alone keep the
// core's nodes alive, and with them the host references that their node
// functions, sinks, hooks and values own: the collector may then count those
// references as the host's. Anything else holding the core (a wave's pins, a
// handle kept by other runtime code) makes the check fail, and nothing is
// visited. A value is the core's own when its every share is in its nodes.

#include <cstddef>

#include "base/host_refs.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth {

// References to the core held inside its own arena; none while the arena is
// mutably borrowed (callers then fail the check below).
std::size_t core_refs_in_arena(const GraphCore& core) noexcept;

// Whether the core is held by its own arena and `held` references from
// outside, and by nothing else.
bool core_held_only_by(const CoreRef& core, std::size_t held) noexcept;

// Visits the host references owned by the core's nodes: the functions their
// dispatcher slot alone holds, the sinks and hooks their lists alone hold,
// and the values whose every share the nodes hold (cached values, the deps'
// values, ctx states, held messages and pulls), each value once. The walk
// costs what the nodes hold; it visits nothing when it fails (what it needs
// is allocated before the first visit).
int visit_core_host_refs(const GraphCore& core, HostRefVisit visit) noexcept;

}  // namespace korvalinth
