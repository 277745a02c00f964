#pragma once
// A call that joins a running wave from inside a node function or a sink is
// refused before it changes anything when its delivery would run a node
// whose function is on the stack: that run would fault as the feedback
// cycle half way through the delivery, leaving the nodes between stale. A
// delivery that runs no such node is not refused.
//
// The check forecasts the delivery by its own rules: down's (what the open
// batch defers, what a node held back keeps, when DIRTY goes first), what a
// dep sink records of each kind, up's walk (the locks a resume takes, the
// node a pull finds), a rewire's connections and re-evaluation, and
// NodeState's run check, asked of copies of the states the delivery would
// change, with the verbs that change them. It runs only for calls that join
// a wave while a node function runs.

#include <optional>
#include <vector>

#include "node/arena/graph_core.hpp"
#include "node/wave/down_rules.hpp"
#include "node/wave/run_wave.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

// Whether a call joins the running wave while a node function is on the
// stack: only then is its delivery checked.
inline bool joins_running_function() noexcept { return wave_scope_installed() && node_function_running(); }

// Each asks whether the call's delivery, joining the running wave, would run
// a node whose function is on the stack; each refuse_ faults with the
// feedback-cycle text when it would. The caller holds no borrow of the
// node's core.

// A down of a list of kinds from node. Faults with the text of the DATA and
// RESOLVED mix first when the part of the list down delivers now mixes
// them, as down would before it delivers any of it.
bool down_reruns_running_node(const UncountedNode& node, KindSet kinds);
void refuse_feedback_into_running_nodes(const UncountedNode& node, KindSet kinds);

// A subscribe of node: its activation (of a node whose last subscriber left
// while it ran, say).
bool activation_reruns_running_node(const UncountedNode& node);
void refuse_activation_of_running_nodes(const UncountedNode& node);

// An up of messages from node, toward one dep or all; the caller checked
// that they are control messages, as up does first.
bool up_reruns_running_node(const UncountedNode& node, const MessageList& messages, std::optional<std::uint64_t> toward);
void refuse_up_feedback(const UncountedNode& node, const MessageList& messages, std::optional<std::uint64_t> toward);

// The apply of a checked rewire of node onto deps (free of duplicates).
bool rewire_reruns_running_node(const UncountedNode& node, const std::vector<NodeHandle>& deps);
void refuse_rewire_feedback(const UncountedNode& node, const std::vector<NodeHandle>& deps);

}  // namespace korvalinth
