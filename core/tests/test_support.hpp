#pragma once
// Helpers for tests that build graphs directly in a core.

#include <functional>
#include <string>
#include <vector>

#include "dispatcher/dispatcher.hpp"
#include "node/construct.hpp"
#include "node/fault.hpp"
#include "node/graph_core.hpp"

namespace korvalinth::test {

template <class F>
std::string fault_text(F&& f) {
  try {
    f();
  } catch (const Fault& e) {
    return e.text();
  }
  return "<no fault>";
}

// A node function from a lambda.
struct LambdaFn final : NodeFn {
  std::function<void(RunContext&)> body;
  explicit LambdaFn(std::function<void(RunContext&)> b) : body(std::move(b)) {}
  void run(RunContext& ctx) override { body(ctx); }
};

inline SharedNodeFn fn_of(std::function<void(RunContext&)> body) {
  return std::make_shared<LambdaFn>(std::move(body));
}

inline std::vector<NodeHandle> deps_of(std::initializer_list<const NodeHandle*> deps) {
  std::vector<NodeHandle> out;
  for (const NodeHandle* d : deps) out.push_back(d->promote_counted());
  return out;
}

// A node without a function (a state node).
inline NodeHandle make_state(const CoreRef& core, SharedValue initial = nullptr, NodeSpec spec = {}) {
  return construct_node(core, {}, std::nullopt, Dispatcher::thread_default(), std::move(initial), std::move(spec));
}

// A node with a function registered in the thread's default dispatcher.
inline NodeHandle make_node(const CoreRef& core, std::vector<NodeHandle> deps, SharedNodeFn fn, NodeSpec spec = {}) {
  auto d = Dispatcher::thread_default();
  auto key = d->register_fn(spec.partition, std::move(fn));
  return construct_node(core, std::move(deps), key, d, nullptr, std::move(spec));
}

inline std::uint64_t pin_count(const NodeHandle& h) { return h.core_ref().borrow()->pin[h.index()]; }
inline bool is_live(const NodeHandle& h) { return h.core_ref().borrow()->is_current(h.key()); }

}  // namespace korvalinth::test
