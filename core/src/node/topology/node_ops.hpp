#pragma once
// The node operations behind the Python Node, AsyncCtx and Graph methods.
// Each builds its message list and hands it to one delivery path; the
// binding does argument conversion, thread checks and the operation guard.
// A stale handle is refused with the stale-slot fault before any wave opens.
// "by caller" below: the binding raises the host boundary around the call.
// Each takes the node first; operations that do the same thing share one body.

#include <cstdint>
#include <optional>
#include <string>

#include "node/arena/graph_core.hpp"
#include "node/arena/node_fn.hpp"
#include "node/wave/down.hpp"

namespace korvalinth {

void node_set(const UncountedNode& node, SharedValue value);
void node_send(const UncountedNode& node, SharedValue value);
void node_pause(const UncountedNode& node, std::string lock_id);
void node_resume(const UncountedNode& node, std::string lock_id);
// The low-level hooks' lists of one payload-free message.
void node_down_list(const UncountedNode& node, MessageList messages);
void node_down_error(const UncountedNode& node, std::string message);
void node_down_data_complete(const UncountedNode& node, SharedValue value);
void node_down_data_data_invalidate(const UncountedNode& node, SharedValue first, SharedValue second);
void node_conformance_c22_down_data(const UncountedNode& node, SharedValue value);
void node_conformance_c12_down_data_resolved(const UncountedNode& node, SharedValue value);
void node_conformance_up_data_forbidden(const UncountedNode& node, SharedValue value);
void node_conformance_up_pull(const UncountedNode& node, std::string pull_id, SharedValue params);
void node_conformance_up_pull_toward(const UncountedNode& node, std::uint64_t toward_dep, std::string pull_id,
                                     SharedValue params);
// fn: the binding's node function that stores the node's live async context.
void node_conformance_c21_replace_with_live_dep(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn);
// fn: the binding's adapter around the Python callback. By caller.
void node_conformance_immediate_subscribe_dep(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn);
void node_conformance_immediate_unsubscribe_dep(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn);

// AsyncCtx.emit and ConformanceAsyncHandle.resolve (by caller).
void async_ctx_emit(const UncountedNode& node, SharedValue value);
void async_ctx_resolve(const UncountedNode& node, SharedValue value);
void async_ctx_error(const UncountedNode& node, std::string message);
void async_ctx_complete(const UncountedNode& node);

// Graph._set_state_by_id, on the handle the binding found by id.
void graph_set_state_by_id(const UncountedNode& node, SharedValue value);

// Publishes a value on a node from inside its own node function: joins the
// running wave, no scope, no host boundary. Inline: every emitting run calls
// it. The value goes as a released share: the caller keeps nothing to drop
// after the down, which may then take its frame.
inline void emit_data(const RunContext& ctx, SharedValue value) {
  const Value* released = value.release();
  down_released(ctx.node, released);
}

// emit_data of a record wrapped as a value of its own type.
template <class T>
void emit_data_record(const RunContext& ctx, T record) {
  emit_data(ctx, make_value<T>(std::move(record)));
}

}  // namespace korvalinth
