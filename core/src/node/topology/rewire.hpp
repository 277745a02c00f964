#pragma once
// Rewire: replaces a node's deps and, with them, its node function. The
// request (DepShape) is checked (graph, terminal, re-entry, self-dependency,
// cycles, terminal deps) and applied inside a wave; a node sitting in the
// open batch has its rewire queued until the batch ends.

#include <exception>
#include <utility>
#include <vector>

#include "node/arena/dep_shape.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth {

void rewire(const UncountedNode& node, DepShape shape);

// Queues the node's own dep change, applied after the wave (or the open batch).
void batch_defer_rewire(const UncountedNode& node, DepShape change);

// The deps a change leaves of the current ones: a subscribe adds its dep once,
// an unsubscribe removes its dep, a replacement takes its own list. `found`
// is false for an unsubscribe of a dep the list lacks.
struct ChangedDeps {
  std::vector<NodeHandle> deps;
  bool found = true;
};
ChangedDeps deps_after_change(const DepShape& shape, std::vector<NodeHandle> current);

void rewire_in_wave_scope(const UncountedNode& node, std::vector<NodeHandle> deps, SharedNodeFn fn, bool for_rewire_next);
// rewire_in_wave_scope's checks in their order (each refusal faults, nothing
// changed), its deps' duplicates dropped: true when the rewire is applied
// now, false when it was queued for the open batch's end (deps and fn taken).
bool rewire_checked(const UncountedNode& node, std::vector<NodeHandle>& deps, SharedNodeFn& fn, bool for_rewire_next);

// Applies a checked rewire (inside a wave).
void rewire_apply(const UncountedNode& node, std::vector<NodeHandle> deps, SharedNodeFn fn);

inline constexpr const char* kRewireForeignDep =
    "rewire: dep belongs to a different graph; cross-graph deps require a wire bridge (D22/R-graph-domain)";
inline constexpr const char* kRewireTerminal =
    "rewire: node is terminal (completed/errored) \xE2\x80\x94 cannot rewire (R-rewire / D42)";
inline constexpr const char* kRewireMidFn =
    "rewire: mid-fn topology mutation \xE2\x80\x94 a fn mutating its own deps mid-wave is the feedback cycle (R-rewire / D37)";
inline constexpr const char* kRewireReentrant =
    "rewire: reentrant dep mutation \xE2\x80\x94 another replace_deps/subscribe_dep/unsubscribe_dep is in flight (R-rewire)";
inline constexpr const char* kRewireSelf = "rewire: self-dependency rejected (R-rewire / D42)";
inline constexpr const char* kRewireCycle =
    "rewire: would create a cycle \xE2\x80\x94 dep already transitively depends on this node (R-rewire / D42)";
inline constexpr const char* kRewireTerminalDep =
    "rewire: cannot add a non-resubscribable terminal dep \xE2\x80\x94 would wedge (R-rewire / D42)";

}  // namespace korvalinth
