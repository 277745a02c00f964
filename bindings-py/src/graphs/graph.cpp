#include "graphs/graph.hpp"

#include "boundary/guard.hpp"
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
  raise_pending_fatal(*self.fatal);
  UnsubscribeActions actions = run_guarded(*self.fatal, [&] {
    return observe(*self.container, [&](std::string path, SeqCounter seq) {
      return make_observer_sink(std::move(path), std::move(seq), args[0], self.fatal);
    });
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

// What the core keeps is the anchor's to visit.
int graph_traverse(const PyGraph& self, visitproc visit, void* arg) { return self.share.visit(visit, arg); }

}  // namespace korvalinth::py
