#pragma once
// The Node methods that put one exact message list into the runtime from a
// node (node_message_hooks.cpp) and those that change a node's deps at once
// (node_rewire_hooks.cpp); node.cpp lists them in the class's method table.
// They act on the Node's primary handle, so a graph lookup handle acts on its
// placeholder and is never refused.

#include "kit/args.hpp"
#include "kit/refs.hpp"
#include "nodes/node.hpp"

namespace korvalinth::py {

kit::OwnedRef node_up_dirty(PyNode& self, const kit::Args& args);
kit::OwnedRef node_up_teardown(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_dirty(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_resolved(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_invalidate(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_complete(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_teardown(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_error_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_data_complete_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_down_data_data_invalidate_method(PyNode& self, const kit::Args& args);

kit::OwnedRef node_conformance_up_pull_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_up_pull_toward_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_up_data_forbidden_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_c22_down_data_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_c12_down_data_resolved_method(PyNode& self, const kit::Args& args);

kit::OwnedRef node_conformance_immediate_subscribe_dep_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_immediate_unsubscribe_dep_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_immediate_replace_deps_method(PyNode& self, const kit::Args& args);
kit::OwnedRef node_conformance_c21_replace_with_live_dep_method(PyNode& self, const kit::Args& args);

}  // namespace korvalinth::py
