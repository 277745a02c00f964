#include "wires/wire_bridge_ack_driver.hpp"

#include "boundary/guard.hpp"
#include "kit/class_table.hpp"
#include "kit/convert.hpp"
#include "node/wave/down.hpp"
#include "node/topology/subscribe.hpp"
#include "node/wave/feedback_check.hpp"
#include "node/wave/wave_scope.hpp"
#include "nodes/node_args.hpp"
#include "wire/bridge/bridge_attachments.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wires/ack_driver_projections.hpp"
#include "wires/ack_timeouts.hpp"
#include "wires/adapter_nodes.hpp"
#include "wires/sink_subscriptions.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_census.hpp"

namespace korvalinth::py {

namespace {

constexpr const char* kFailedAttachment = "wire_bridge_ack_driver failed command attachment";
constexpr const char* kFailedAfterAttachment = "wire_bridge_ack_driver failed after command attachment";
constexpr const char* kRelease = "wire_bridge_ack_driver release";

struct PyWireBridgeAckDriver {
  SinkSubscriptions sinks;
  std::shared_ptr<WireBridge> bridge;
  TopologyGroupRef group;
  NodeHandle commands;
  PyNode timeouts;
  PyNode status;
  PyNode issues;
  bool released = false;
  CensusEntry census;  // its sinks, its shares of the bridge and the group, its commands handle
};

void count_refs(const PyWireBridgeAckDriver& self, CoreCensus& census) {
  count_refs(self.sinks, census);
  census.share(self.bridge);
  census.share(self.group);
  census.handle(self.commands);
}

void attach(const PyWireBridgeAckDriver& driver) {
  attach_ack_driver_commands(driver.bridge->command, *driver.bridge->command_producers,
                             driver.commands.promote_counted());
}

void detach(const PyWireBridgeAckDriver& driver) {
  detach_ack_driver_commands(driver.bridge->command, *driver.bridge->command_producers,
                             driver.commands.promote_counted());
}

kit::OwnedRef ack_driver_release(PyWireBridgeAckDriver& self, const kit::Args&) {
  if (self.released) return kit::py_none();
  detach(self);
  release_group(self.group, kRelease);
  self.sinks.run_all();
  self.released = true;
  return kit::py_none();
}

// Delivers one ack-timeout command from {name}/commands, as a timeout the
// driver found would go; a released driver delivers nothing.
kit::OwnedRef ack_driver_conformance_ack_timeout(PyWireBridgeAckDriver& self, const kit::Args& args) {
  const std::uint64_t seq = args.convert(0, kit::extract_u64);
  const std::uint32_t attempt = args.convert(1, kit::extract_u32);
  const std::optional<std::uint64_t> observed_at_ms = args.convert_unless_none(2, kit::extract_u64);
  if (self.released) return kit::py_none();
  MessageList messages;
  messages.push_back(
      Message::data(make_value<WireBridgeCommand>(bridge_command::AckTimeout{observed_at_ms, seq, attempt})));
  if (!joins_running_function()) {
    down_in_wave_scope(self.commands, std::move(messages));
    return kit::py_none();
  }
  // Joining a running function's wave, the delivery is refused where it
  // would run such a function again, as a node operation's is: under the
  // guard, a RuntimeError with the feedback text.
  run_guarded(*self.timeouts.fatal_share(), [&] { down_refusing_feedback(self.commands, std::move(messages)); });
  return kit::py_none();
}

kit::OwnedRef ack_driver_timeouts(PyWireBridgeAckDriver& self) { return adapter_node_object(self.timeouts); }
kit::OwnedRef ack_driver_status(PyWireBridgeAckDriver& self) { return adapter_node_object(self.status); }
kit::OwnedRef ack_driver_issues(PyWireBridgeAckDriver& self) { return adapter_node_object(self.issues); }

// The anchor of its core, held by its Nodes and its census entry.
int ack_driver_traverse(const PyWireBridgeAckDriver& self, visitproc visit, void* arg) {
  return visit_adapter_anchors({&self.timeouts, &self.status, &self.issues}, self.census, visit, arg);
}

struct WireBridgeAckDriverClass {
  using Record = PyWireBridgeAckDriver;
  static constexpr auto traverse = ack_driver_traverse;
  static constexpr const char* name = "_WireBridgeAckDriver";
  static constexpr const char* internal_name = "_native::PyWireBridgeAckDriver";
  static constexpr kit::Method<Record> methods[] = {
      {"release", ack_driver_release},
      {"_conformance_ack_timeout", ack_driver_conformance_ack_timeout, {{"seq"}, {"attempt"}, {"observed_at_ms"}}},
  };
  static constexpr kit::Getter<Record> getters[] = {
      {"timeouts", ack_driver_timeouts},
      {"status", ack_driver_status},
      {"issues", ack_driver_issues},
  };
};

// The sinks that keep the state in step with the bridge, subscribed in
// this order; a fault part way goes on once those made are removed again.
void subscribe_sinks(SinkSubscriptions& sinks, const WireBridge& bridge, const SharedAckDriverState& state) {
  try {
    sinks.add(node_subscribe(bridge.attempts, make_attempts_sink(state)));
    sinks.add(node_subscribe(bridge.acks, make_acks_sink(state)));
    sinks.add(node_subscribe(bridge.nacks, make_nacks_sink(state)));
    sinks.add(node_subscribe(bridge.status, make_bridge_status_sink(state)));
  } catch (...) {
    sinks.run_all();
    throw;
  }
}

// Builds the five nodes in their group and attaches {name}/commands; a
// refused attachment releases the group before it goes on.
PyWireBridgeAckDriver build_attached_driver(const PyGraph& graph, const std::string& base,
                                            std::shared_ptr<WireBridge> bridge, const UncountedNode& clock,
                                            SharedAckDriverState state, std::uint64_t timeout_ms) {
  GraphContainer& container = *graph.container;
  TopologyGroupRef group = TopologyGroup::create(base + ".wireBridgeAckDriver", graph.container);
  NodeHandle events = build_adapter_node(container, group, NodeOptions::unending(base + "/events"), {&clock, 1},
                                         make_ack_driver_clock_fn(std::move(state), timeout_ms));
  NodeHandle commands =
      build_adapter_node(container, group, NodeOptions::named(base + "/commands"), {&events.uncounted(), 1},
                         make_ack_driver_commands_fn());
  NodeHandle timeouts = build_adapter_node(container, group, NodeOptions::named(base + "/timeouts"), {&events.uncounted(), 1},
                                           make_ack_driver_timeouts_fn(graph.fatal));
  NodeHandle status = build_adapter_node(container, group, NodeOptions::named(base + "/status"), {&events.uncounted(), 1},
                                         make_ack_driver_status_fn(graph.fatal, timeout_ms));
  NodeHandle issues =
      build_adapter_node(container, group, NodeOptions::named(base + "/issues"), {&events.uncounted(), 1},
                         make_ack_driver_issues_fn(graph.fatal));
  PyWireBridgeAckDriver driver{{},
                               std::move(bridge),
                               std::move(group),
                               std::move(commands),
                               adapter_py_node(graph.fatal, std::move(timeouts)),
                               adapter_py_node(graph.fatal, std::move(status)),
                               adapter_py_node(graph.fatal, std::move(issues)),
                               false};
  try {
    attach(driver);
  } catch (...) {
    release_group(driver.group, kFailedAttachment);
    throw;
  }
  return driver;
}

}  // namespace

PyTypeObject* wire_bridge_ack_driver_type() { return kit::type_object<WireBridgeAckDriverClass>(); }

kit::OwnedRef graph_wire_bridge_ack_driver(PyGraph& self, const kit::Args& args) {
  WireBridgeArgument bridge_argument(args.convert(0, as_wire_bridge));
  NodeRef clock = args.convert(1, extract_node_ref);
  const std::uint64_t timeout_ms = args.convert(2, kit::extract_u64);
  std::optional<std::string> name = args.convert(3, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  const std::string base = adapter_base_name(std::move(name), "wireBridgeAckDriver");
  std::shared_ptr<WireBridge> bridge = bridge_argument.get().bridge;
  auto state = std::make_shared<Cell<AckDriverState>>();

  SinkSubscriptions sinks;
  subscribe_sinks(sinks, *bridge, state);
  // From here every fault, and a pending fatal raised once the driver is
  // detached and released, removes the sinks on its way out, after what
  // was built is dropped.
  try {
    const UncountedNode& clock_node = clock.lookup_target ? *clock.lookup_target : clock.primary;
    PyWireBridgeAckDriver driver =
        build_attached_driver(self, base, std::move(bridge), clock_node, std::move(state), timeout_ms);
    raise_pending_fatal_after_build(*self.fatal, [&] {
      detach(driver);
      release_group(driver.group, kFailedAfterAttachment);
    });
    driver.sinks = std::move(sinks);
    return make_adapter_object<WireBridgeAckDriverClass>(std::move(driver));
  } catch (...) {
    sinks.run_all();
    throw;
  }
}

}  // namespace korvalinth::py
