#include "wire/edge_group/edge_group_release.hpp"

#include <utility>

#include "host_boundary/host_boundary.hpp"
#include "wire/bridge/bridge_attachments.hpp"

namespace korvalinth {

namespace {

constexpr const char* kReleaseReason = "wire_edge_group release";
constexpr const char* kRollbackKeepaliveOwner = "wire_edge_group release rollback";

// Puts the group back as built: {name}/commands listed again and, when the
// release had ended it, a new keep-alive on the gate. Each step is tried on
// its own; their failures are dropped for the release's own.
void undo_release(WireEdgeGroup& group, bool keepalive_ended) noexcept {
  try {
    retain_node_handle_once(group.bridge_command_node, *group.command_producers, group.commands_node.promote_counted());
  } catch (...) {
  }
  if (!keepalive_ended) return;
  try {
    // What the slot held is dropped with the statement.
    replace_gate_keepalive(group.gate_keepalive,
                           subscribe_keepalive(*group.graph, group.gate_node, kRollbackKeepaliveOwner));
  } catch (...) {
  }
}

}  // namespace

void retain_node_handle_once(const UncountedNode& bridge_command, ProducerList& producers, NodeHandle handle) {
  HostBoundaryScope boundary;
  attach_producer(bridge_command, producers, std::move(handle), make_command_forwarding_fn);
}

void detach_command_producer(const UncountedNode& bridge_command, ProducerList& producers, NodeHandle handle) {
  detach_producer(bridge_command, producers, std::move(handle), make_command_forwarding_fn);
}

std::optional<UnsubscribeFn> replace_gate_keepalive(const GateKeepalive& slot, UnsubscribeFn value) {
  return std::exchange(*slot.borrow_mut(), std::move(value));
}

void release_core_edge_group(WireEdgeGroup& group) {
  HostBoundaryScope boundary;
  detach_command_producer(group.bridge_command_node, *group.command_producers, group.commands_node.promote_counted());
  bool keepalive_ended = false;
  try {
    std::optional<UnsubscribeFn> keepalive = std::exchange(*group.gate_keepalive.borrow_mut(), std::nullopt);
    if (keepalive) {
      keepalive_ended = true;
      keepalive->call();
    }
    release_group(group.group, kReleaseReason);
  } catch (...) {
    undo_release(group, keepalive_ended);
    throw;
  }
  group.released = true;
}

}  // namespace korvalinth
