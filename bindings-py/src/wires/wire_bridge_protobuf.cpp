#include "wires/wire_bridge_protobuf.hpp"

#include "boundary/guard.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "wire/bridge/bridge_attachments.hpp"
#include "wires/adapter_nodes.hpp"
#include "wires/protobuf_node_fns.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_census.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kFailedAttachment = "wire_bridge_protobuf failed inbound attachment";
constexpr const char* kRelease = "wire_bridge_protobuf release";

struct PyWireBridgeProtobuf {
  std::shared_ptr<WireBridge> bridge;
  TopologyGroupRef group;
  NodeHandle decoded_inbound;
  PyNode inbound_bytes;
  PyNode outbound_bytes;
  PyNode status;
  PyNode issues;
  bool released = false;
  CensusEntry census;  // its shares of the bridge and the group, its inbound handle
};

void count_refs(const PyWireBridgeProtobuf& self, CoreCensus& census) {
  census.share(self.bridge);
  census.share(self.group);
  census.handle(self.decoded_inbound);
}

void attach(const PyWireBridgeProtobuf& adapter) {
  attach_protobuf_bridge_inbound(*adapter.bridge, *adapter.bridge->inbound_producers,
                                 adapter.decoded_inbound.promote_counted());
}

void detach(const PyWireBridgeProtobuf& adapter) {
  detach_protobuf_bridge_inbound(*adapter.bridge, *adapter.bridge->inbound_producers,
                                 adapter.decoded_inbound.promote_counted());
}

kit::OwnedRef protobuf_release(PyWireBridgeProtobuf& self, const kit::Args&) {
  if (self.released) return kit::py_none();
  detach(self);
  try {
    release_group(self.group, kRelease);
  } catch (...) {
    attach(self);
    throw;
  }
  self.released = true;
  return kit::py_none();
}

kit::OwnedRef protobuf_inbound_bytes(PyWireBridgeProtobuf& self) { return adapter_node_object(self.inbound_bytes); }
kit::OwnedRef protobuf_outbound_bytes(PyWireBridgeProtobuf& self) { return adapter_node_object(self.outbound_bytes); }
kit::OwnedRef protobuf_status(PyWireBridgeProtobuf& self) { return adapter_node_object(self.status); }
kit::OwnedRef protobuf_issues(PyWireBridgeProtobuf& self) { return adapter_node_object(self.issues); }

// The anchor of its core, held by its Nodes and its census entry.
int protobuf_traverse(const PyWireBridgeProtobuf& self, visitproc visit, void* arg) {
  return visit_adapter_anchors({&self.inbound_bytes, &self.outbound_bytes, &self.status, &self.issues}, self.census,
                               visit, arg);
}

struct WireBridgeProtobufClass {
  using Record = PyWireBridgeProtobuf;
  static constexpr auto traverse = protobuf_traverse;
  static constexpr const char* name = "_WireBridgeProtobuf";
  static constexpr const char* internal_name = "_native::PyWireBridgeProtobuf";
  static constexpr kit::Method<Record> methods[] = {{"release", protobuf_release}};
  static constexpr kit::Getter<Record> getters[] = {
      {"inbound_bytes", protobuf_inbound_bytes},
      {"outbound_bytes", protobuf_outbound_bytes},
      {"status", protobuf_status},
      {"issues", protobuf_issues},
  };
};

}  // namespace

PyTypeObject* wire_bridge_protobuf_type() { return kit::type_object<WireBridgeProtobufClass>(); }

kit::OwnedRef graph_wire_bridge_protobuf(PyGraph& self, const kit::Args& args) {
  WireBridgeArgument bridge_argument(args.convert(0, as_wire_bridge));
  std::optional<std::string> name = args.convert(1, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  const std::string base = adapter_base_name(std::move(name), "wireBridgeProtobuf");
  std::shared_ptr<WireBridge> bridge = bridge_argument.get().bridge;
  GraphContainer& graph = *self.container;
  TopologyGroupRef group = TopologyGroup::create(base + ".wireBridgeProtobuf", self.container);

  auto readings = std::make_shared<LinkReadings>();
  NodeHandle inbound_bytes = build_adapter_state_node(graph, group, base + "/inbound_bytes");
  NodeHandle decoded = build_adapter_node(graph, group, NodeOptions::named(base + "/decoded_inbound"),
                                          {&inbound_bytes.uncounted(), 1}, make_protobuf_decoded_inbound_fn(readings));
  const UncountedNode event_deps[] = {inbound_bytes.uncounted(), bridge->outbound.uncounted()};
  NodeHandle events = build_adapter_node(graph, group, NodeOptions::unending(base + "/events"), event_deps,
                                         make_protobuf_events_fn(readings));
  NodeHandle outbound_bytes = build_adapter_node(graph, group, NodeOptions::named(base + "/outbound_bytes"),
                                                 {&bridge->outbound.uncounted(), 1}, make_protobuf_outbound_bytes_fn(readings));
  NodeHandle status =
      build_adapter_node(graph, group, NodeOptions::named(base + "/status"), {&events.uncounted(), 1},
                         make_protobuf_status_fn(self.fatal));
  NodeHandle issues =
      build_adapter_node(graph, group, NodeOptions::named(base + "/issues"), {&events.uncounted(), 1},
                         make_protobuf_issues_fn(self.fatal));

  PyWireBridgeProtobuf adapter{std::move(bridge),
                               std::move(group),
                               std::move(decoded),
                               adapter_py_node(self.fatal, std::move(inbound_bytes)),
                               adapter_py_node(self.fatal, std::move(outbound_bytes)),
                               adapter_py_node(self.fatal, std::move(status)),
                               adapter_py_node(self.fatal, std::move(issues)),
                               false,
                               {}};
  try {
    attach(adapter);
  } catch (...) {
    release_group(adapter.group, kFailedAttachment);
    throw;
  }
  raise_pending_fatal_after_build(*self.fatal, [&] {
    detach(adapter);
    release_group(adapter.group, kFailedAttachment);
  });
  return make_adapter_object<WireBridgeProtobufClass>(std::move(adapter));
}

}  // namespace korvalinth::py
