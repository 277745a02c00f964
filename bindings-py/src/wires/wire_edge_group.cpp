#include "wires/wire_edge_group.hpp"

#include <utility>

#include "kit/class_table.hpp"
#include "wire/edge_group/edge_group_release.hpp"
#include "wires/adapter_nodes.hpp"
#include "wires/edge_group_projections.hpp"
#include "wires/wire_census.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kFacadeRelease = "wire_edge_group python facade release";
constexpr const char* kProjectionRelease = "wire_edge_group python adapter projection release";
constexpr const char* kAdapterRelease = "wire_edge_group python adapter release";

kit::OwnedRef edge_group_release(PyWireEdgeGroup& self, const kit::Args&) {
  if (self.released) return kit::py_none();
  release_group(self.facade_group, kFacadeRelease);
  if (self.projection_group) release_group(self.projection_group, kProjectionRelease);
  self.keepalives.run_all();
  if (!self.core->released) release_core_edge_group(*self.core);
  if (self.adapter_group) release_group(self.adapter_group, kAdapterRelease);
  self.released = true;
  return kit::py_none();
}

kit::OwnedRef edge_group_inbound_edges(PyWireEdgeGroup& self) { return self.inbound_edges.borrow().new_ref(); }
kit::OwnedRef edge_group_status(PyWireEdgeGroup& self) { return adapter_node_object(self.status); }
kit::OwnedRef edge_group_issues(PyWireEdgeGroup& self) { return adapter_node_object(self.issues); }

// The dict is the one Python reference the record owns (Python code may put
// the group itself into it); its core is the anchor's to visit, which its
// Nodes and its census entry hold.
int edge_group_traverse(const PyWireEdgeGroup& self, visitproc visit, void* arg) {
  Py_VISIT(self.inbound_edges.get());
  return visit_adapter_anchors({&self.status, &self.issues}, self.census, visit, arg);
}

struct WireEdgeGroupClass {
  using Record = PyWireEdgeGroup;
  static constexpr auto traverse = edge_group_traverse;
  static constexpr const char* name = "_WireEdgeGroup";
  static constexpr const char* internal_name = "_native::PyWireEdgeGroup";
  static constexpr kit::Method<Record> methods[] = {{"release", edge_group_release}};
  static constexpr kit::Getter<Record> getters[] = {
      {"inbound_edges", edge_group_inbound_edges},
      {"status", edge_group_status},
      {"issues", edge_group_issues},
  };
};

}  // namespace

void count_refs(const PyWireEdgeGroup& self, CoreCensus& census) {
  count_refs(self.keepalives, census);
  census.share(self.adapter_group);
  census.share(self.projection_group);
  census.share(self.core);
  census.share(self.facade_group);
}

PyTypeObject* wire_edge_group_type() { return kit::type_object<WireEdgeGroupClass>(); }

EdgeGroupFacade build_edge_group_facade(const PyGraph& graph, const std::string& base_name,
                                        const UncountedNode& status_source, const UncountedNode& issues_source) {
  TopologyGroupRef group = TopologyGroup::create(base_name + ".pythonWireEdgeGroupFacade", graph.container);
  NodeHandle status = build_adapter_node(*graph.container, group, NodeOptions::named(base_name + "/py/status"),
                                         {&status_source, 1}, make_py_edge_group_status_fn(graph.fatal));
  NodeHandle issues = build_adapter_node(*graph.container, group, NodeOptions::named(base_name + "/py/issues"),
                                         {&issues_source, 1}, make_py_edge_group_issues_fn(graph.fatal));
  return EdgeGroupFacade{std::move(group), adapter_py_node(graph.fatal, std::move(status)),
                         adapter_py_node(graph.fatal, std::move(issues))};
}

kit::OwnedRef make_wire_edge_group_object(PyWireEdgeGroup group) {
  return make_adapter_object<WireEdgeGroupClass>(std::move(group));
}

}  // namespace korvalinth::py
