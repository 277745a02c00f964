#pragma once
// run_wave: runs one node's function once inside the running wave, with
// its deps' inputs; resolves a node that was marked dirty but emitted
// nothing; refuses a node whose function is already running.

#include "node/arena/graph_core.hpp"
#include "node/wave/stack_guard.hpp"

namespace korvalinth {

inline constexpr const char* kReentrantRun =
    "synchronous feedback cycle: node fn re-entered its own wave (R-reentrancy / D37)";

void run_wave(const UncountedNode& node);

// Touches the node in the running wave (which pins it) unless the wave did.
void touch_for_run(Arena& a, const UncountedNode& node);
// The run itself, under the borrow held, which found the node's key current
// and its entries s, the node touched and not running; releases held.
void run_found(RefMut<Arena>& held, const UncountedNode& node, const LiveSlotsWithAux& s);

// What comes before a run under the caller's borrow a, which found the
// node's key current and its entries s, and whether the running wave
// touched it: the stack check, the touch, the refusal of a running node.
[[gnu::always_inline]] inline void prepare_run(RefMut<Arena>& a, const UncountedNode& node, const LiveSlotsWithAux& s,
                                               bool touched) {
  check_stack_headroom();
  if (!touched) touch_for_run(*a, node);
  if (s.edge.state.running()) fault(kReentrantRun);
}

// run_wave under that borrow; releases a. Inline: the drain's runs then
// take one frame per node of a chain, not two.
[[gnu::always_inline]] inline void run_wave(RefMut<Arena>& a, const UncountedNode& node, const LiveSlotsWithAux& s,
                                            bool touched) {
  prepare_run(a, node, s, touched);
  run_found(a, node, s);
}

// Whether a node function is on this thread's stack: each runs under a claim.
inline bool node_function_running() noexcept { return FnRunClaim::any(); }

}  // namespace korvalinth
