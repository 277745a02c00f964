#pragma once
// down: the one operation by which a node emits. Sorts the list by tier,
// applies each message to the node (cache, status, version, terminal) and
// hands it to the node's sinks as listed when the delivery began, with the
// core released, so sinks may subscribe, unsubscribe and deliver while being
// called. Opens no
// wave scope; drains the pending queue when the outermost down returns.

#include "node/arena/graph_core.hpp"
#include "node/arena/message.hpp"

namespace korvalinth {

void down(const UncountedNode& node, MessageList messages);

// down for a call that joins the running wave while a node function is on
// the stack: refused with the feedback-cycle fault when its delivery would
// run such a node (feedback_check.hpp), after down's own checks of the
// list (content ids, then the DATA and RESOLVED mix of what goes out now)
// and before anything changes.
void down_refusing_feedback(const UncountedNode& node, MessageList messages);

namespace detail {
// The roads of down for one message: a DATA, and any other. Each checks the
// stack at its own frame.
void down_data(const UncountedNode& node, Message& message);
void down_other(const UncountedNode& node, Message& message);
// down_data for a set that owns its wave, as down_data would take it.
void down_data_of_owned_set(const UncountedNode& node, Message& message);
}  // namespace detail

// down of [DATA(value)], the value's share released by the caller
// (SharedValue::release): the message lives in this frame, so the caller's
// call can be its last step, a frame fewer per node of a chain.
void down_released(const UncountedNode& node, const Value* value);

// down of a list of one message, without building the list. The message is
// handed down where it lies, not moved: what down leaves of it (nothing, once
// delivered) goes with the caller's message, right after. Inline: most
// callers made the message, so its kind is known where it is tested.
inline void down(const UncountedNode& node, Message&& message) {
  if (message.kind() == MessageKind::Data) return detail::down_data(node, message);
  detail::down_other(node, message);
}

// A set's DATA, deferred into the open batch without the wave the set would
// own, when that wave would change nothing more and run no code: the node's
// first plain deferral, whose DIRTY, if it goes out, reaches only dep sinks
// of its core that take it quietly, and whose wave would fault nowhere (no
// growth, no stack too deep). False, with nothing changed, for any other.
// The caller owns no wave; a node not current is left to the caller's check.
bool defer_set_quietly(const UncountedNode& node, SharedValue& value);

// down of list with lists waiting behind it: they go out in its delivery
// after it, as downs made while it delivers would (a batch's flush of a
// node that downs made during the batch's end waited behind).
void down_with_lists_behind(const UncountedNode& node, MessageList list, std::vector<MessageList> behind);

// down of a message a batch flushes to a node that left it: a plain DATA
// goes out in the borrow that reads the node's entry, as down would send it.
void down_flushed(const UncountedNode& node, Message&& message);

// A list of one message.
inline MessageList one_message(Message m) {
  MessageList l;
  l.push_back(std::move(m));
  return l;
}

// Sends DIRTY once (sets dirty-sent and status dirty) unless already sent.
void mark_dirty(const UncountedNode& node);
// Hands one message to the node's sinks; changes no node state.
void broadcast(const UncountedNode& node, const Message& message);
// Ends the node's current pull; does nothing while the core is borrowed.
void clear_current_pull(const UncountedNode& node);

inline constexpr const char* kMixedDataResolved =
    "down: a wave cannot mix DATA and RESOLVED (tier-3 exclusivity, R-resolved-undirty / D49)";


}  // namespace korvalinth
