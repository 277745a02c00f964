#include "graphs/graph.hpp"

#include "boundary/core_holds.hpp"
#include "boundary/guard.hpp"
#include "graph/graph_ownership.hpp"
#include "graph/observe.hpp"
#include "graphs/describe_output.hpp"
#include "graphs/graph_async_methods.hpp"
#include "graphs/graph_methods.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "nodes/node.hpp"
#include "subscriptions/subscription.hpp"
#include "values/py_object_value.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_bridge_protobuf.hpp"

namespace korvalinth::py {

namespace {

PyGraph graph_new(const kit::Args& args) {
  std::optional<std::string> name = args.convert(0, kit::extract_optional_str);
  GraphRef container = GraphContainer::create(std::move(name), nullptr, false);
  return PyGraph(std::move(container), make_pending_fatal_slot());
}

// ---- state nodes ----

kit::OwnedRef graph_state(PyGraph& self, const kit::Args& args) {
  kit::OwnedRef value = args[0].new_ref();
  std::optional<std::string> name = args.convert(1, kit::extract_optional_str);
  NodeHandle node = graph_operation(*self.fatal, [&] {
    return self.container->state(make_py_value(std::move(value)), std::move(name));
  });
  return make_node_object(self.fatal, std::move(node));
}

kit::OwnedRef graph_state_empty(PyGraph& self, const kit::Args& args) {
  std::optional<std::string> name = args.convert(0, kit::extract_optional_str);
  NodeHandle node = graph_operation(*self.fatal, [&] { return self.container->state_empty(std::move(name)); });
  return make_node_object(self.fatal, std::move(node));
}

// ---- observe ----

// One observer sink per node of the graph and of its mounts, as they are
// now. When a callback stored a pending fatal meanwhile, the sinks are
// detached again through the guarded unsubscribe before it is raised.
kit::OwnedRef graph_observe(PyGraph& self, const kit::Args& args) {
  auto record = std::make_shared<const ObserverRecord>(args[0].new_ref(), self.fatal);
  raise_pending_fatal(*self.fatal);
  UnsubscribeActions actions = run_guarded(*self.fatal, [&] {
    return observe(*self.container,
                   [&](std::string path, SeqCounter seq) { return make_observer_sink(std::move(path), std::move(seq), record); });
  });
  if (kit::OwnedRef exception = take_pending_fatal(*self.fatal)) {
    undo_attachment(*self.fatal, std::move(actions));
    throw kit::PyErrAlreadySet(std::move(exception));
  }
  return make_subscription_object(self.fatal, std::move(actions));
}

kit::OwnedRef graph_raise_pending_fatal(PyGraph& self, const kit::Args&) {
  raise_pending_fatal(*self.fatal);
  return kit::py_none();
}

// A Graph that alone keeps its container, and with it the core, alive
// visits the callbacks of the core's nodes: a callback that refers to its
// own graph no longer keeps the graph alive for good.
int graph_traverse(const PyGraph& self, visitproc visit, void* arg) {
  if (!self.container || self.container.use_count() != 1) return 0;
  return visit_core_if_sole_holder(self.container->core(), core_refs_in_graph(*self.container), 0, visit, arg);
}

struct GraphClass {
  using Record = PyGraph;
  static constexpr auto traverse = graph_traverse;
  static constexpr const char* name = "Graph";
  static constexpr const char* internal_name = "_native::PyGraph";
  static constexpr kit::Constructor<PyGraph> constructor{graph_new, {{"name", kit::none}}};
  static constexpr kit::Method<PyGraph> methods[] = {
      {"checkpoint", graph_checkpoint},
      {"state", graph_state, {{"value"}, {"name", kit::none}}},
      {"state_empty", graph_state_empty, {{"name", kit::none}}},
      {"_wire_bridge", graph_wire_bridge, {{"session_id"}, {"name", kit::none}}},
      {"_wire_bridge_protobuf", graph_wire_bridge_protobuf, {{"bridge"}, {"name", kit::none}}},
      {"producer", graph_producer, {{"callback"}, {"name", kit::none}}},
      {"node",
       graph_node,
       {{"deps"},
        {"callback"},
        {"name", kit::none},
        {"partial", kit::no},
        {"complete_when_deps_complete", kit::yes},
        {"error_when_deps_error", kit::yes},
        {"terminal_as_real_input", kit::no},
        {"pausable", kit::none},
        {"pull_id", kit::none},
        {"restore_ref", kit::none},
        {"restore_config", kit::none},
        {"restore_config_version", kit::none}}},
      {"_conformance_async_node", graph_conformance_async_node, {{"deps"}, {"name", kit::none}, {"pausable", kit::none}}},
      {"_conformance_async_source", graph_conformance_async_source, {{"name", kit::none}, {"pausable", kit::none}}},
      {"_async_source", graph_async_source, {{"callback"}, {"name", kit::none}, {"pausable", kit::none}}},
      {"_async_node", graph_async_node, {{"deps"}, {"callback"}, {"name", kit::none}, {"pausable", kit::none}}},
      {"derived", graph_derived, {{"deps"}, {"callback"}, {"name", kit::none}}},
      {"effect", graph_effect, {{"deps"}, {"callback"}, {"name", kit::none}}},
      {"batch", graph_batch, {{"callback"}}},
      {"describe", graph_describe},
      {"_find", graph_find, {{"id"}}},
      {"_set_state_by_id", graph_set_state_by_id_method, {{"id"}, {"value"}}},
      {"observe", graph_observe, {{"callback"}}},
      {"raise_pending_fatal", graph_raise_pending_fatal},
  };
};

}  // namespace

PyTypeObject* graph_type() { return kit::type_object<GraphClass>(); }

kit::OwnedRef make_graph_object(GraphRef container, SharedFatalSlot fatal) {
  return kit::make_instance<GraphClass>(PyGraph(std::move(container), std::move(fatal)));
}

}  // namespace korvalinth::py
