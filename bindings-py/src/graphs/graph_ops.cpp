// Graph.batch, Graph._find and Graph._set_state_by_id: the Graph methods
// that build no node of the graph's own.

#include "boundary/callback_settlers.hpp"
#include "boundary/guard.hpp"
#include "graph/describe.hpp"
#include "graphs/detached_core.hpp"
#include "graphs/graph_methods.hpp"
#include "kit/convert.hpp"
#include "kit/entry.hpp"
#include "kit/gil.hpp"
#include "node/wave/batch.hpp"
#include "node/topology/node_ops.hpp"
#include "nodes/node.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

// The callable's own exception is raised unchanged (no post-drain then); a
// batch opened inside another one only runs its callable.
kit::OwnedRef graph_batch(PyGraph& self, const kit::Args& args) {
  kit::OwnedRef callback = args[0].new_ref();
  raise_pending_fatal(*self.fatal);
  CallOutcome outcome;
  run_guarded(*self.fatal, [&] {
    run_batch([&] {
      kit::GilGuard gil;
      outcome = CallOutcome::of_call(PyObject_CallNoArgs(callback.get()));
      return !outcome.ok();
    });
  });
  if (!outcome.ok()) throw kit::PyErrAlreadySet(outcome.take_exception());
  outcome = CallOutcome();
  post_drain(*self.fatal);
  return kit::py_none();
}

kit::OwnedRef graph_find(PyGraph& self, const kit::Args& args) {
  std::string id = args.convert(0, kit::extract_str);
  raise_pending_fatal(*self.fatal);
  std::optional<NodeHandle> found = self.container->find(id);
  if (!found) return kit::py_none();
  NodeHandle placeholder = make_detached_placeholder();
  return make_node_object(PyNode(self.fatal, std::move(*found), std::move(placeholder)));
}

kit::OwnedRef graph_set_state_by_id_method(PyGraph& self, const kit::Args& args) {
  std::string id = args.convert(0, kit::extract_str);
  kit::OwnedRef value = args[1].new_ref();
  raise_pending_fatal(*self.fatal);
  std::optional<NodeHandle> found = self.container->find(id);
  if (!found) kit::throw_error(PyExc_RuntimeError, "conformance node '" + id + "' was not found");
  if (!describes_state_node(*self.container, id)) {
    kit::throw_error(PyExc_RuntimeError, "conformance state setter requires a graph state node");
  }
  run_guarded(*self.fatal, [&] { graph_set_state_by_id(*found, make_py_value(std::move(value))); });
  post_drain(*self.fatal);
  return kit::py_none();
}

}  // namespace korvalinth::py
