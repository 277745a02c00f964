#include "node/topology/node_ops.hpp"
#include "node/topology/node_set.hpp"

#include "base/drop_fault.hpp"
#include "host_boundary/host_boundary.hpp"
#include "node/wave/batch.hpp"
#include "node/wave/down.hpp"
#include "node/wave/run_wave.hpp"
#include "node/topology/rewire.hpp"
#include "node/wave/up.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth {

namespace {

// Inline: every set starts with it.
[[gnu::always_inline]] inline void require_current(const UncountedNode& node) {
  auto a = node.core_ref().borrow();
  a->check(node.key());
}

// A call joining a running wave while a node function is on the stack:
// its down is refused when it would feed back into such a node.
bool joins_running_function() noexcept { return wave_scope_installed() && node_function_running(); }

// A call's list, delivered from node in a wave of its own or joining the
// running one.
void deliver_call(const UncountedNode& node, MessageList list) {
  if (joins_running_function()) return down_refusing_feedback(node, std::move(list));
  down_in_wave_scope(node, std::move(list));
}

template <class... M>
MessageList list_of(M&&... m) {
  MessageList l;
  l.reserve(sizeof...(M));
  (l.push_back(std::forward<M>(m)), ...);
  return l;
}

void down_op(const UncountedNode& node, MessageList list) {
  HostBoundaryScope boundary;
  require_current(node);
  deliver_call(node, std::move(list));
}

void up_op(const UncountedNode& node, MessageList list, std::optional<std::uint64_t> toward_dep = std::nullopt) {
  HostBoundaryScope boundary;
  require_current(node);
  up_in_wave_scope(node, std::move(list), toward_dep);
}

}  // namespace

namespace {

// A current node's set joining the running wave (from a callback).
[[gnu::always_inline]] inline void join_wave(const UncountedNode& node, SharedValue& value) {
  if (node_function_running()) [[unlikely]]
    return down_refusing_feedback(node, one_message(Message::data(std::move(value))));
  // The DATA is built where it is handed down, so no move of it is made; it
  // goes as that down returns or unwinds.
  down(node, Message::data(std::move(value)));
}

// The same out of line: a road that calls it sets up no frame of the join's
// on its way to a wave of its own.
[[gnu::noinline]] void join_wave_out_of_line(const UncountedNode& node, SharedValue& value) { join_wave(node, value); }

// Inline: node_set's road takes no call of its own on the way to the wave.
// join is join_wave or join_wave_out_of_line.
template <class Join>
[[gnu::always_inline]] inline void join_or_own_wave(const UncountedNode& node, SharedValue& value, Join join) {
  require_current(node);
  if (!wave_scope_installed()) return set_in_owned_wave_scope(node, value);
  join(node, value);
}

}  // namespace

void set_in_wave(const UncountedNode& node, SharedValue& value) {
  join_or_own_wave(node, value, join_wave_out_of_line);
}

void node_set(const UncountedNode& node, SharedValue value) {
  HostBoundaryScope boundary;
  if (defer_set_in_batch(node, value)) return raise_kept_drop_fault();
  join_or_own_wave(node, value, join_wave);
}

void node_send(const UncountedNode& node, SharedValue value) { node_set(node, std::move(value)); }

void node_pause(const UncountedNode& node, std::string lock_id) { up_op(node, list_of(Message::pause(std::move(lock_id)))); }

void node_resume(const UncountedNode& node, std::string lock_id) {
  up_op(node, list_of(Message::resume(std::move(lock_id))));
}

void node_down_list(const UncountedNode& node, MessageList messages) { down_op(node, std::move(messages)); }

void node_down_error(const UncountedNode& node, std::string message) {
  down_op(node, list_of(Message::error(make_text_error(std::move(message)))));
}

void node_down_data_complete(const UncountedNode& node, SharedValue value) {
  down_op(node, list_of(Message::data(std::move(value)), Message::complete()));
}

void node_down_data_data_invalidate(const UncountedNode& node, SharedValue first, SharedValue second) {
  down_op(node, list_of(Message::data(std::move(first)), Message::data(std::move(second)), Message::invalidate()));
}

void node_conformance_c22_down_data(const UncountedNode& node, SharedValue value) { node_set(node, std::move(value)); }

void node_conformance_c12_down_data_resolved(const UncountedNode& node, SharedValue value) {
  down_op(node, list_of(Message::data(std::move(value)), Message::resolved()));
}

void node_conformance_up_data_forbidden(const UncountedNode& node, SharedValue value) {
  up_op(node, list_of(Message::data(std::move(value))));
}

void node_conformance_up_pull(const UncountedNode& node, std::string pull_id, SharedValue params) {
  up_op(node, list_of(Message::pull(std::move(pull_id), std::move(params))));
}

void node_conformance_up_pull_toward(const UncountedNode& node, std::uint64_t toward_dep, std::string pull_id,
                                     SharedValue params) {
  up_op(node, list_of(Message::pull(std::move(pull_id), std::move(params))), toward_dep);
}

void node_conformance_c21_replace_with_live_dep(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn) {
  HostBoundaryScope boundary;
  require_current(node);
  std::vector<NodeHandle> deps;
  deps.push_back(std::move(dep));
  rewire(node, ReplaceDeps{std::move(deps), std::move(fn)});
}

void node_conformance_immediate_subscribe_dep(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn) {
  std::vector<NodeHandle> working = counted_deps(node);
  {
    // Apply the node's queued rewires to the working list, oldest first.
    auto a = node.core_ref().borrow();
    const NodeId id = node.id();
    for (const DeferredOp& op : a->deferred_ops()) {
      if (op.kind == DeferredKind::UpNext) continue;
      if (op.node.core != id.core || op.node.key != node.key()) continue;
      working = deps_after_change(std::get<QueuedDepChange>(op.payload).shape, std::move(working)).deps;
    }
  }
  bool present = false;
  for (const UncountedNode& d : working) present |= d.same_node(dep);
  if (!present) working.push_back(dep.promote_counted());
  present = false;
  for (const UncountedNode& d : working) present |= d.same_node(dep);
  if (!present) fault("subscribe_dep next shape contains dep");
  rewire(node, SubscribeDep{std::move(fn), std::move(dep)});
  drop_node_handles(working);
}

void node_conformance_immediate_unsubscribe_dep(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn) {
  rewire(node, UnsubscribeDep{std::move(fn), dep.id()});
  dep.drop();
}

void async_ctx_emit(const UncountedNode& node, SharedValue value) {
  require_current(node);
  deliver_call(node, list_of(Message::data(std::move(value))));
}

void async_ctx_resolve(const UncountedNode& node, SharedValue value) { node_down_data_complete(node, std::move(value)); }

void async_ctx_error(const UncountedNode& node, std::string message) { node_down_error(node, std::move(message)); }

void async_ctx_complete(const UncountedNode& node) { down_op(node, list_of(Message::complete())); }

void graph_set_state_by_id(const UncountedNode& node, SharedValue value) {
  HostBoundaryScope boundary;
  MessageList list = list_of(Message::data(std::move(value)));
  NodeHandle copy = node.promote_counted();
  require_current(copy);
  deliver_call(copy, std::move(list));
  copy.drop();
}

}  // namespace korvalinth
