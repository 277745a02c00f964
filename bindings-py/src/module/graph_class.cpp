#include "module/graph_class.hpp"

#include "checkpoints/graph_checkpoint.hpp"
#include "graphs/describe_output.hpp"
#include "graphs/graph_async_methods.hpp"
#include "graphs/graph_methods.hpp"
#include "kit/class_table.hpp"
#include "wires/wire_bridge_ack_driver.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_bridge_protobuf.hpp"
#include "wires/wire_edge_group_builders.hpp"

namespace korvalinth::py {

namespace {

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
      {"_wire_edge_group", graph_wire_edge_group, {{"bridge"}, {"inbound_edges"}, {"name", kit::none}}},
      {"_wire_edge_group_outbound", graph_wire_edge_group_outbound, {{"bridge"}, {"outbound_edges"}, {"name", kit::none}}},
      {"_wire_bridge_ack_driver",
       graph_wire_bridge_ack_driver,
       {{"bridge"}, {"clock"}, {"timeout_ms"}, {"name", kit::none}}},
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
      {"_conformance_node",
       graph_conformance_node,
       {{"deps"},
        {"callback"},
        {"name", kit::none},
        {"partial", kit::no},
        {"complete_when_deps_complete", kit::yes},
        {"error_when_deps_error", kit::yes},
        {"terminal_as_real_input", kit::no},
        {"pausable", kit::none},
        {"pull_id", kit::none}}},
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

kit::OwnedRef make_graph_object(PyGraph graph) { return kit::make_instance<GraphClass>(std::move(graph)); }

}  // namespace korvalinth::py
