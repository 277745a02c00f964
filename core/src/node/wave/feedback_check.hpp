#pragma once
// A call that joins a running wave from inside a node function or a sink is
// refused before it changes anything when its delivery would run a node
// whose function is on the stack: that run would fault as the feedback
// cycle half way through the delivery, leaving the nodes between stale. A
// delivery that runs no such node is not refused.
//
// The check forecasts the delivery by its own rules: down's (what the open
// batch defers, what a node held back keeps, when DIRTY goes first), what a
// dep sink records of each kind, and NodeState's run check, asked of copies
// of the states the delivery would change, with the verbs that change them.
// It runs only for calls that join a wave while a node function runs.

#include "node/arena/graph_core.hpp"
#include "node/wave/down_rules.hpp"

namespace korvalinth {

// Whether a down of a list of kinds from node, joining the running wave,
// would run a node whose function is on the stack. Faults with the text of
// the DATA and RESOLVED mix first when the part of the list down delivers
// now mixes them, as down would before it delivers any of it. The caller
// holds no borrow of the node's core.
bool down_reruns_running_node(const UncountedNode& node, KindSet kinds);
// Faults with the feedback-cycle text when it would.
void refuse_feedback_into_running_nodes(const UncountedNode& node, KindSet kinds);

// Whether subscribing to node, joining the running wave, would activate it
// and in doing so run a node whose function is on the stack (a node whose
// last subscriber left while it ran).
bool activation_reruns_running_node(const UncountedNode& node);
// Faults with the feedback-cycle text when it would.
void refuse_activation_of_running_nodes(const UncountedNode& node);

}  // namespace korvalinth
