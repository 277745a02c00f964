#pragma once
// up: carries control messages (PAUSE, RESUME, PULL, DIRTY, INVALIDATE,
// TEARDOWN) from a node toward its deps and on to the sources. PAUSE pauses
// the node itself; RESUME walks upstream to the nodes holding the lock; PULL
// walks to the node whose pull id matches and becomes its pending pull;
// INVALIDATE reaching a source is delivered down from it.

#include <cstdint>
#include <optional>

#include "node/arena/graph_core.hpp"
#include "node/arena/message.hpp"

namespace korvalinth {

// toward_dep: the first hop goes only to the dep at that position.
void up(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward_dep);

// up for a call: when it joins a running wave while a node function is on
// the stack, refused with the feedback-cycle fault where its delivery would
// run such a function again (feedback_check.hpp), after up's own check of
// the kinds and before anything changes.
void up_refusing_feedback(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward_dep);

}  // namespace korvalinth
