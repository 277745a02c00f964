#include "wires/wire_bridge_adapter.hpp"

#include "boundary/guard.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "wires/adapter_nodes.hpp"
#include "wires/bridge_projections.hpp"
#include "wires/wire_census.hpp"

namespace korvalinth::py {

namespace {

kit::OwnedRef wire_bridge_status(PyWireBridge& self) { return adapter_node_object(self.status); }
kit::OwnedRef wire_bridge_issues(PyWireBridge& self) { return adapter_node_object(self.issues); }

kit::OwnedRef wire_bridge_release(PyWireBridge& self, const kit::Args&) {
  self.released = true;
  return kit::py_none();
}

// The anchor of its core, held by its Nodes and its census entry.
int wire_bridge_traverse(const PyWireBridge& self, visitproc visit, void* arg) {
  return visit_adapter_anchors({&self.status, &self.issues}, self.census, visit, arg);
}

struct WireBridgeClass {
  using Record = PyWireBridge;
  static constexpr auto traverse = wire_bridge_traverse;
  static constexpr const char* name = "_WireBridge";
  static constexpr const char* internal_name = "_native::PyWireBridge";
  static constexpr kit::Method<Record> methods[] = {{"release", wire_bridge_release}};
  static constexpr kit::Getter<Record> getters[] = {{"status", wire_bridge_status}, {"issues", wire_bridge_issues}};
};

}  // namespace

void count_refs(const PyWireBridge& self, CoreCensus& census) { census.share(self.bridge); }

PyTypeObject* wire_bridge_type() { return kit::type_object<WireBridgeClass>(); }

kit::OwnedRef graph_wire_bridge(PyGraph& self, const kit::Args& args) {
  std::string session_id = args.convert(0, kit::extract_str);
  std::optional<std::string> name = args.convert(1, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  std::shared_ptr<WireBridge> bridge =
      run_guarded(*self.fatal, [&] { return wire_bridge_entry(*self.container, session_id, name); });
  const std::string base = adapter_base_name(std::move(name), "wireBridge");
  GraphContainer& graph = *self.container;
  NodeHandle status = build_adapter_node(graph, nullptr, NodeOptions::named(base + "/py/status"), {&bridge->status.uncounted(), 1},
                                         make_py_bridge_status_fn(self.fatal));
  NodeHandle issues = build_adapter_node(graph, nullptr, NodeOptions::named(base + "/py/issues"), {&bridge->errors.uncounted(), 1},
                                         make_py_bridge_issues_fn(self.fatal, "bridge_error"));
  raise_pending_fatal(*self.fatal);
  return make_adapter_object<WireBridgeClass>(PyWireBridge{std::move(bridge),
                                                          adapter_py_node(self.fatal, std::move(status)),
                                                          adapter_py_node(self.fatal, std::move(issues)), false});
}

kit::BorrowedRef as_wire_bridge(kit::BorrowedRef object) {
  PyTypeObject* type = nullptr;
  try {
    type = wire_bridge_type();
  } catch (kit::PyErrAlreadySet& e) {
    kit::fail_type_object(WireBridgeClass::name, e);
  }
  if (!PyObject_TypeCheck(object.get(), type)) kit::throw_downcast_error(object, WireBridgeClass::name);
  return object;
}

WireBridgeArgument::WireBridgeArgument(kit::BorrowedRef object)
    : object_(object.new_ref()),
      record_(kit::checked_record<WireBridgeClass>(object)) {}

}  // namespace korvalinth::py
