#pragma once
// Helpers for tests that build graphs directly in a core.

#include <functional>
#include <string>
#include <vector>

#include "base/fault.hpp"
#include "dispatcher/dispatcher.hpp"
#include "node/arena/construct.hpp"
#include "node/arena/graph_core.hpp"
#include "node_state_access.hpp"

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

// A slot with nothing but its initial value (and the given hook share),
// held by no handle: a core dropped while such slots are live drops them
// with it.
inline SlotKey occupy_bare(const CoreRef& core, SharedValue initial, TopologyHookShare hook = {}) {
  DepList deps;
  OptionalKindText kind;
  SharedCallContext context = no_call_context();
  ConfigEntry config;
  NodeVersionSlot version;
  return core->borrow_mut()->occupy(NewSlotParts{
      .deps = std::move(deps),
      .topology_hook = std::move(hook),
      .kind = std::move(kind),
      .key = std::nullopt,
      .context = std::move(context),
      .config = std::move(config),
      .initial = std::move(initial),
      .version = std::move(version),
  });
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

inline std::uint64_t pin_count(const UncountedNode& h) { return h.core_ref().borrow()->pin_count(h.index()); }
inline bool is_live(const UncountedNode& h) { return h.core_ref().borrow()->is_current(h.key()); }

}  // namespace korvalinth::test

#include "node/wave/down.hpp"
#include "node/topology/node_ops.hpp"
#include "node/arena/sink.hpp"
#include "node/topology/subscribe.hpp"

namespace korvalinth::test {

inline int int_of(const SharedValue& v) {
  if (!v) return -999;
  const int* i = value_cast<int>(v);
  return i ? *i : -1;
}
inline SharedValue iv(int x) { return make_value<int>(x); }

// A function emitting start plus the sum of its inputs' current values (an
// input without one counts 0).
inline SharedNodeFn summing(int start = 0) {
  return fn_of([start](RunContext& ctx) {
    int sum = start;
    for (const DepInput& in : ctx.inputs) sum += in.current ? int_of(in.current) : 0;
    emit_data(ctx, iv(sum));
  });
}

// Records every message as text: "DIRTY", "DATA 3", "ERROR boom", ...
struct RecordingSink final : Sink {
  std::vector<std::string> log;
  std::function<void(const Message&)> on_message;
  void call(const Message& m) override {
    std::string s(m.kind_name());
    if (m.kind() == MessageKind::Data) s += " " + std::to_string(int_of(m.value()));
    if (m.kind() == MessageKind::Error) s += " " + m.error_value()->display();
    log.push_back(s);
    if (on_message) on_message(m);
  }
};

struct Subscribed {
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  UnsubscribeFn unsubscribe;
  std::vector<std::string>& log() { return sink->log; }
};

inline Subscribed subscribe_recording(const UncountedNode& node) {
  Subscribed s;
  s.unsubscribe = node_subscribe(node, s.sink);
  return s;
}

// A node computing f over its first dep's current value.
inline NodeHandle make_map(const CoreRef& core, const NodeHandle& dep, std::function<int(int)> f, int* runs = nullptr,
                           NodeSpec spec = {}) {
  return make_node(core, deps_of({&dep}), fn_of([f, runs](RunContext& ctx) {
                     if (runs) ++*runs;
                     emit_data(ctx, iv(f(int_of(ctx.inputs[0].current))));
                   }),
                   std::move(spec));
}

inline std::vector<std::string> L(std::initializer_list<std::string> items) { return std::vector<std::string>(items); }

}  // namespace korvalinth::test
