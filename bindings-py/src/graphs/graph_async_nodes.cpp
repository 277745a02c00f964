// The async node builders: argument extraction, the pre-drain, the core
// factory under the guard, the post-drain, and the new Node (with its
// ConformanceAsyncHandle for the conformance variants). Every async node
// has the fixed options partial False, complete and error when the deps do,
// terminal not a real input, no pull id; name and pausable are the caller's.

#include "boundary/guard.hpp"
#include "graphs/graph_async_methods.hpp"
#include "kit/convert.hpp"
#include "nodes/async_callback.hpp"
#include "nodes/conformance_async_handle.hpp"
#include "nodes/node.hpp"
#include "nodes/node_args.hpp"

namespace korvalinth::py {

namespace {

// What the four builders take besides their deps and callback.
struct AsyncNodeArgs {
  std::optional<std::string> name;
  std::optional<std::string> pausable;
};

AsyncNodeArgs async_node_args(const kit::Args& args, std::size_t first) {
  AsyncNodeArgs out;
  out.name = args.convert(first, kit::extract_optional_str);
  out.pausable = args.convert(first + 1, kit::extract_optional_str);
  return out;
}

NodeOptions async_node_options(AsyncNodeArgs args) {
  NodeOptionArgs option_args;
  option_args.name = std::move(args.name);
  option_args.pausable = std::move(args.pausable);
  return node_options_from_py(std::move(option_args));
}

// The factory under the guard between the drains; the node's handle is
// released when a pending fatal was stored meanwhile.
template <class Build>
NodeHandle build_guarded(PyGraph& self, Build&& build) {
  NodeHandle node = run_guarded(*self.fatal, std::forward<Build>(build));
  post_drain(*self.fatal, node);
  return node;
}

// An async node (with deps) or source (without) over a Python callback.
kit::OwnedRef callback_async_node(PyGraph& self, std::optional<std::vector<kit::OwnedRef>> deps, kit::OwnedRef callback,
                                  AsyncNodeArgs option_args) {
  raise_pending_fatal(*self.fatal);
  std::vector<NodeHandle> handles = deps ? dep_handles_of(*deps) : std::vector<NodeHandle>{};
  NodeOptions options = async_node_options(std::move(option_args));
  SharedNodeFn fn = make_async_callback_fn(std::move(callback), self.fatal);
  NodeHandle node = build_guarded(self, [&] {
    GraphContainer& graph = *self.container;
    if (deps) return graph.async_node(std::move(handles), std::move(fn), std::move(options));
    return graph.async_source(std::move(fn), std::move(options));
  });
  return make_node_object(self.fatal, std::move(node));
}

// A conformance async node (with deps) or source (without), and its handle.
kit::OwnedRef conformance_async_pair(PyGraph& self, std::optional<std::vector<kit::OwnedRef>> deps,
                                     AsyncNodeArgs option_args) {
  raise_pending_fatal(*self.fatal);
  std::vector<NodeHandle> handles = deps ? dep_handles_of(*deps) : std::vector<NodeHandle>{};
  NodeOptions options = async_node_options(std::move(option_args));
  auto state = std::make_shared<ConformanceAsyncState>();
  NodeHandle node = build_guarded(self, [&] {
    GraphContainer& graph = *self.container;
    if (deps) return graph.conformance_async_node(std::move(handles), make_capture_fn(state), std::move(options));
    return graph.conformance_async_source(make_capture_fn(state), std::move(options));
  });
  return make_conformance_async_pair(make_node_object(self.fatal, std::move(node)), std::move(state), self.fatal);
}

}  // namespace

kit::OwnedRef graph_async_node(PyGraph& self, const kit::Args& args) {
  std::vector<kit::OwnedRef> deps = args.convert(0, extract_deps);
  kit::OwnedRef callback = args[1].new_ref();
  return callback_async_node(self, std::move(deps), std::move(callback), async_node_args(args, 2));
}

kit::OwnedRef graph_async_source(PyGraph& self, const kit::Args& args) {
  kit::OwnedRef callback = args[0].new_ref();
  return callback_async_node(self, std::nullopt, std::move(callback), async_node_args(args, 1));
}

kit::OwnedRef graph_conformance_async_node(PyGraph& self, const kit::Args& args) {
  std::vector<kit::OwnedRef> deps = args.convert(0, extract_deps);
  return conformance_async_pair(self, std::move(deps), async_node_args(args, 1));
}

kit::OwnedRef graph_conformance_async_source(PyGraph& self, const kit::Args& args) {
  return conformance_async_pair(self, std::nullopt, async_node_args(args, 0));
}

}  // namespace korvalinth::py
