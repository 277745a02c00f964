#pragma once
// Batches: Graph.batch opens a per-thread batch around its callable. While
// it collects, each node's DATA, RESOLVED, INVALIDATE, COMPLETE, ERROR and
// TEARDOWN are deferred (DIRTY still goes out) and only the node's last
// deferred list survives; deferred operations wait for the batch's end. On
// success each node's list is delivered once, in first-deferral order; on
// failure each node that deferred gets RESOLVED and the operations queued
// under the batch are removed unrun. Nested batches join the outermost.

#include <optional>

#include "base/function_ref.hpp"
#include "base/thread_block.hpp"
#include "node/arena/deferred_op.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth {

namespace detail {
// The open batch's state, mirrored where every down can read it without
// borrowing the batch's cell; batch.cpp sets them with the cell.
inline constinit thread_local bool tls_batch_open KORVALINTH_FAST_TLS = false;
inline constinit thread_local bool tls_batch_collecting KORVALINTH_FAST_TLS = false;
// Set when the open batch was opened while a node function ran.
inline constinit thread_local bool tls_batch_inside_runs KORVALINTH_FAST_TLS = false;
// The count record of the node whose deferred messages the open batch
// replaced last (null: none); the batch's records keep it alive.
inline constinit thread_local const ExternalCount* tls_batch_last_replaced KORVALINTH_FAST_TLS = nullptr;
}  // namespace detail

// True from the opening of the outermost batch until its end resets it.
inline bool batch_is_active() noexcept { return detail::tls_batch_open; }
// True while the open batch still defers deliveries.
inline bool batch_collecting() noexcept { return detail::tls_batch_collecting; }
// True when the open batch was opened inside a running node function: its
// end, which delivers what it deferred, comes before that function returns.
inline bool batch_ends_inside_runs() noexcept { return detail::tls_batch_inside_runs; }
// True when the open batch replaced the node's deferred messages last: a
// set of it replaces them again.
inline bool batch_replaced_last(const UncountedNode& node) noexcept {
  return detail::tls_batch_last_replaced == node.count().get();
}
// Whether a down on the node waits behind the messages the batch holds
// for it: once the batch stops collecting, a node outside its run whose
// messages its end has not flushed yet takes them first, as a down made
// while its node delivers waits behind that delivery. While it collects,
// the down's late messages replace them instead.
inline bool waits_behind_batch_flush(const NodeState& state) noexcept {
  return state.batch_queued() && !state.running() && !batch_collecting();
}
// Queues list behind the messages the ending batch holds for node; its
// flush delivers them and then each list queued so, in order, in one
// delivery. False, with list untouched, when the batch holds none for it.
bool batch_wait_behind_flush(const UncountedNode& node, MessageList& list);
// Replaces the node's deferred list, pinning the node on its first
// deferral; the caller sets the node's batch-queued flag.
void batch_defer_list(const UncountedNode& node, MessageList late);
// batch_defer_list of a list of one message, kept without a
// list; taken from late in place, whose replaced value goes before the return.
void batch_defer_message(const UncountedNode& node, Message&& late);
// batch_defer_message for a node whose core the caller holds borrowed as a,
// its key found current: pins it under that borrow. True when deferred
// messages were replaced: a message into late, a list into replaced_list,
// both for the caller to drop after its borrow. The list is made only when
// one was replaced: most replace a message, and an empty list's drop is a call.
bool batch_defer_message_in(Arena& a, const UncountedNode& node, Message& late,
                            std::optional<MessageList>& replaced_list);
// batch_defer_message_in of a DATA of value, for a node with no record in
// the batch yet, when the batch has room for its record without growing:
// false, with value and the batch left as they were, for any other. The
// caller found the node not marked queued, and marks it on success.
bool batch_defer_first_data_in_room(Arena& a, const UncountedNode& node, SharedValue& value);
// Counts a record's node as marked queued in the batch.
void batch_note_marked() noexcept;
// Marks a node whose messages the other roads deferred as queued in the
// batch (a quiet set marks its own); the marks stay until the batch ends.
// Inline: a node set over and over is marked already.
inline void batch_mark_queued(NodeState& state) noexcept {
  if (state.batch_queued()) return;
  state.queue_in_batch();
  batch_note_marked();
}
void batch_register_core(const CoreRef& core);
// The open batch's token when it holds a deferred list for the node.
std::optional<BatchToken> batch_find_node(const NodeId& node);
// The open batch's token, or a fresh true token with no batch.
BatchToken batch_token_for_new_deferral();
// Queues an UpNext op: messages sent up from node after the wave.
void batch_defer_emission(const UncountedNode& node, MessageList messages, std::optional<std::uint64_t> toward_dep);

// Drops the thread's batch state.
void batch_take_state();

// Runs call (which returns true when the callable raised) inside a batch.
// The binding keeps the callable's result itself.
void run_batch(FunctionRef<bool()> call);

}  // namespace korvalinth
