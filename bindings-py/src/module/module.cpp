// Module start-up: the module definition handed to CPython and its exec
// step, which adds the classes and then the functions, in this order; the
// order is also the order of __all__.

#include "checkpoints/checkpoint_encoder.hpp"
#include "checkpoints/restore_context.hpp"
#include "checkpoints/restore_graph.hpp"
#include "checkpoints/restore_registry.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "module/graph_class.hpp"
#include "nodes/async_ctx.hpp"
#include "nodes/ctx.hpp"
#include "nodes/node.hpp"
#include "subscriptions/subscription.hpp"
#include "wires/canonical_checks.hpp"
#include "wires/canonical_results.hpp"
#include "wires/wire_bridge_ack_driver.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_bridge_protobuf.hpp"
#include "wires/wire_edge_group.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef version(const kit::Args&) { return kit::to_py_str("0.0.0"); }

kit::OwnedRef restore_graph_function(const kit::Args& args) { return make_graph_object(restore_graph_from_py(args)); }

const kit::ModuleClass kClasses[] = {
    {"CanonicalProtobufValidation", canonical_protobuf_validation_type},
    {"CanonicalProtobufRoundtrip", canonical_protobuf_roundtrip_type},
    {"_WireBridge", wire_bridge_type},
    {"_WireBridgeProtobuf", wire_bridge_protobuf_type},
    {"_WireEdgeGroup", wire_edge_group_type},
    {"_WireBridgeAckDriver", wire_bridge_ack_driver_type},
    {"AsyncCtx", async_ctx_type},
    {"Ctx", ctx_type},
    {"Graph", graph_type},
    {"Node", node_type},
    {"RestoreContext", restore_context_type},
    {"RestoreRegistry", restore_registry_type},
    {"Subscription", subscription_type},
};

struct Functions {
  static constexpr kit::Function functions[] = {
      {"_validate_canonical_wire_bridge_envelope", validate_canonical_wire_bridge_envelope_function, {{"bytes"}}},
      {"_validate_canonical_wire_edge_frame", validate_canonical_wire_edge_frame_function, {{"bytes"}}},
      {"_roundtrip_canonical_wire_bridge_envelope", roundtrip_canonical_wire_bridge_envelope_function, {{"bytes"}}},
      {"_roundtrip_canonical_wire_edge_frame", roundtrip_canonical_wire_edge_frame_function, {{"bytes"}}},
      {"restore_graph", restore_graph_function, {{"checkpoint"}, {"registry"}}},
      {"restore_registry", restore_registry_function, {{"entries"}, {"include_builtins", kit::yes}}},
      {"version", version},
  };
};

void exec_module(PyObject* module) {
  register_python_checkpoint_encoder();
  kit::add_classes(module, kClasses);
  kit::add_functions<Functions>(module);
}

}  // namespace

}  // namespace korvalinth::py

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(korvalinth::kit::module_def<korvalinth::py::exec_module>("_native"));
}
