#include "graphs/graph.hpp"

#include "boundary/core_holds.hpp"
#include "boundary/guard.hpp"
#include "graph/graph_ownership.hpp"
#include "graph/observe.hpp"
#include "graphs/graph_methods.hpp"
#include "kit/entry.hpp"
#include "kit/convert.hpp"
#include "nodes/node.hpp"
#include "subscriptions/subscription.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

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

}  // namespace korvalinth::py
