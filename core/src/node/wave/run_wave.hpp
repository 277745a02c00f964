#pragma once
// run_wave: runs one node's function once inside the running wave, with
// its deps' inputs; resolves a node that was marked dirty but emitted
// nothing; refuses a node whose function is already running.

#include "node/arena/graph_core.hpp"

namespace korvalinth {

inline constexpr const char* kReentrantRun =
    "synchronous feedback cycle: node fn re-entered its own wave (R-reentrancy / D37)";

void run_wave(const UncountedNode& node);
// The same under the caller's borrow a, which found the node's key current
// and its entries s, and whether the running wave touched it; releases a.
void run_wave(RefMut<Arena>& a, const UncountedNode& node, const LiveSlotsWithAux& s, bool touched);

// The number of node functions on this thread's stack.
std::uint64_t node_functions_running() noexcept;

}  // namespace korvalinth
