#pragma once
// What a node's calls go through besides its function: the dispatcher its
// function is registered in and its graph's hooks. A graph's nodes nearly
// all hold the same pair, so they share one immutable block of it.

#include <array>
#include <cstddef>
#include <memory>

#include "dispatcher/dispatcher.hpp"

namespace korvalinth {

inline constexpr std::size_t kGraphHookCount = 7;
using GraphHooks = std::array<GraphHook, kGraphHookCount>;
// A node's hooks, shared; null when every hook is null (the usual case). A
// graph shares its hooks once and every node it registers holds the same block.
using SharedGraphHooks = std::shared_ptr<const GraphHooks>;
SharedGraphHooks share_graph_hooks(const GraphHooks& hooks);
// The hooks of a new node: first the given one, the other six empty.
SharedGraphHooks share_first_graph_hook(const GraphHook& first);

struct CallContext {
  DispatcherRef dispatcher;
  SharedGraphHooks hooks;
};
using SharedCallContext = std::shared_ptr<const CallContext>;

// The block holding this pair: the one the last call on this thread made when
// it holds the same pair still, else a new one. Nothing is kept alive for
// later calls: a block goes with the last node holding it.
SharedCallContext share_call_context(const DispatcherRef& dispatcher, const SharedGraphHooks& hooks);
// The block of an entry that has none: no dispatcher, no hooks; copied and
// dropped without a count.
const SharedCallContext& no_call_context() noexcept;

}  // namespace korvalinth
