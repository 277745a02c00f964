// Graph.node, Graph._conformance_node, Graph.derived, Graph.effect and
// Graph.producer: argument extraction, the pre-drain, the core factory under
// the guard, the post-drain and the new Node.

#include "boundary/guard.hpp"
#include "graphs/graph_methods.hpp"
#include "kit/convert.hpp"
#include "nodes/node.hpp"
#include "nodes/node_args.hpp"
#include "nodes/node_callback.hpp"
#include "nodes/value_callbacks.hpp"
#include "values/py_json.hpp"

namespace korvalinth::py {

namespace {

inline constexpr const char* kRestoreConfigWithoutRef = "restore config requires a restore ref";

std::optional<RegistryRef> restore_ref_of(std::optional<std::string> ref, const kit::OwnedRef& config,
                                          const kit::OwnedRef& config_version) {
  if (!ref) {
    if (config || config_version) kit::throw_error(PyExc_ValueError, kRestoreConfigWithoutRef);
    return std::nullopt;
  }
  RegistryRef out{std::move(*ref), std::nullopt, std::nullopt};
  if (config) out.config = py_to_strict_json(config.borrow());
  if (config_version) out.config_version = py_to_strict_json(config_version.borrow());
  return out;
}

// The factory under the guard between the drains; the node's handle is
// released when a pending fatal was stored meanwhile.
template <class Build>
kit::OwnedRef built_node(PyGraph& self, Build&& build) {
  NodeHandle node = run_guarded(*self.fatal, std::forward<Build>(build));
  post_drain(*self.fatal, node);
  return make_node_object(self.fatal, std::move(node));
}

kit::OwnedRef value_callback_node(PyGraph& self, const kit::Args& args, ValueCallbackKind kind) {
  DepRefs deps = args.convert(0, extract_dep_refs);
  kit::OwnedRef callback = args[1].new_ref();
  std::optional<std::string> name = args.convert(2, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  DepList handles = dep_list_of(deps);
  SharedNodeFn fn = make_value_callback_fn(kind, std::move(callback), self.fatal);
  return built_node(self, [&] {
    GraphContainer& graph = *self.container;
    if (kind == ValueCallbackKind::Derived)
      return graph.derived_of_list(std::move(handles), std::move(fn), std::move(name));
    return graph.effect_of_list(std::move(handles), std::move(fn), std::move(name));
  });
}

// The options of Graph.node and Graph._conformance_node, which share their
// parameters 2 to 8.
NodeOptionArgs callback_node_option_args(const kit::Args& args) {
  NodeOptionArgs option_args;
  option_args.name = args.convert(2, kit::extract_optional_str);
  option_args.partial = args.convert(3, kit::extract_bool);
  option_args.complete_when_deps_complete = args.convert(4, kit::extract_bool);
  option_args.error_when_deps_error = args.convert(5, kit::extract_bool);
  option_args.terminal_as_real_input = args.convert(6, kit::extract_bool);
  option_args.pausable = args.convert(7, kit::extract_optional_str);
  option_args.pull_id = args.convert(8, kit::extract_optional_str);
  return option_args;
}

}  // namespace

kit::OwnedRef graph_node(PyGraph& self, const kit::Args& args) {
  DepRefs deps = args.convert(0, extract_dep_refs);
  kit::OwnedRef callback = args[1].new_ref();
  NodeOptionArgs option_args = callback_node_option_args(args);
  std::optional<std::string> restore_ref = args.convert(9, kit::extract_optional_str);
  kit::OwnedRef restore_config = args.unless_none(10);
  kit::OwnedRef restore_config_version = args.unless_none(11);
  raise_pending_fatal(*self.fatal);
  DepList handles = dep_list_of(deps);
  NodeOptions options = node_options_from_py(std::move(option_args));
  options.restore = restore_ref_of(std::move(restore_ref), restore_config, restore_config_version);
  SharedNodeFn fn = make_py_node_fn(std::move(callback), self.fatal);
  return built_node(self,
                    [&] { return self.container->node_of_list(std::move(handles), std::move(fn), std::move(options)); });
}

// Graph.node without the restore parameters.
kit::OwnedRef graph_conformance_node(PyGraph& self, const kit::Args& args) {
  DepRefs deps = args.convert(0, extract_dep_refs);
  kit::OwnedRef callback = args[1].new_ref();
  NodeOptionArgs option_args = callback_node_option_args(args);
  raise_pending_fatal(*self.fatal);
  DepList handles = dep_list_of(deps);
  NodeOptions options = node_options_from_py(std::move(option_args));
  SharedNodeFn fn = make_py_node_fn(std::move(callback), self.fatal);
  return built_node(self, [&] {
    return self.container->node_of_list(std::move(handles), std::move(fn), std::move(options));
  });
}

kit::OwnedRef graph_derived(PyGraph& self, const kit::Args& args) {
  return value_callback_node(self, args, ValueCallbackKind::Derived);
}

kit::OwnedRef graph_effect(PyGraph& self, const kit::Args& args) {
  return value_callback_node(self, args, ValueCallbackKind::Effect);
}

kit::OwnedRef graph_producer(PyGraph& self, const kit::Args& args) {
  kit::OwnedRef callback = args[0].new_ref();
  std::optional<std::string> name = args.convert(1, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  SharedNodeFn fn = make_value_callback_fn(ValueCallbackKind::Producer, std::move(callback), self.fatal);
  return built_node(self, [&] { return self.container->producer(std::move(fn), std::move(name)); });
}

}  // namespace korvalinth::py
