// The rewiring hooks of Node: each hands one rewire request, with the node
// function the node runs from then on, to the runtime during the call.
// Arguments are converted first; then the pre-drain, the dep handles, the
// rewire under the guard, and the post-drain.

#include "boundary/guard.hpp"
#include "kit/entry.hpp"
#include "node/topology/node_ops.hpp"
#include "node/topology/rewire.hpp"
#include "nodes/conformance_async_handle.hpp"
#include "nodes/node_args.hpp"
#include "nodes/node_callback.hpp"
#include "nodes/node_hooks.hpp"

namespace korvalinth::py {

namespace {

using OneDepEntry = void (*)(const UncountedNode& node, NodeHandle dep, SharedNodeFn fn);

template <OneDepEntry Entry>
kit::OwnedRef immediate_one_dep(PyNode& self, const kit::Args& args) {
  kit::BorrowedRef dep = args.convert(0, downcast_node);
  kit::OwnedRef callback = args[1].new_ref();
  raise_pending_fatal(self.fatal());
  NodeHandle handle = dep_handle_of(dep);
  SharedNodeFn fn = make_py_node_fn(std::move(callback), self.fatal_share());
  run_guarded(self.fatal(), [&] { Entry(self.primary(), std::move(handle), std::move(fn)); });
  post_drain(self.fatal());
  return kit::py_none();
}

}  // namespace

kit::OwnedRef node_conformance_immediate_subscribe_dep_method(PyNode& self, const kit::Args& args) {
  return immediate_one_dep<node_conformance_immediate_subscribe_dep>(self, args);
}

kit::OwnedRef node_conformance_immediate_unsubscribe_dep_method(PyNode& self, const kit::Args& args) {
  return immediate_one_dep<node_conformance_immediate_unsubscribe_dep>(self, args);
}

kit::OwnedRef node_conformance_immediate_replace_deps_method(PyNode& self, const kit::Args& args) {
  std::vector<kit::OwnedRef> deps = args.convert(0, extract_deps);
  kit::OwnedRef callback = args[1].new_ref();
  raise_pending_fatal(self.fatal());
  std::vector<NodeHandle> handles = dep_handles_of(deps);
  SharedNodeFn fn = make_py_node_fn(std::move(callback), self.fatal_share());
  run_guarded(self.fatal(), [&] { rewire(self.primary(), ReplaceDeps{std::move(handles), std::move(fn)}); });
  post_drain(self.fatal());
  return kit::py_none();
}

// The handle's own graph is drained too: its capture function belongs there.
kit::OwnedRef node_conformance_c21_replace_with_live_dep_method(PyNode& self, const kit::Args& args) {
  kit::BorrowedRef dep = args.convert(0, downcast_node);
  kit::BorrowedRef async_handle = args.convert(1, downcast_conformance_async_handle);
  raise_pending_fatal(self.fatal());
  NodeHandle handle = dep_handle_of(dep);
  SharedNodeFn capture = make_capture_fn(share_conformance_async_state(async_handle));
  run_guarded(self.fatal(), [&] {
    node_conformance_c21_replace_with_live_dep(self.primary(), std::move(handle), std::move(capture));
  });
  post_drain(self.fatal());
  return kit::py_none();
}

}  // namespace korvalinth::py
