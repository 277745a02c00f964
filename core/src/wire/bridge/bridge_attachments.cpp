#include "wire/bridge/bridge_attachments.hpp"

#include <algorithm>

#include "host_boundary/host_boundary.hpp"
#include "node/topology/node_ops.hpp"
#include "node/topology/rewire.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/aux_state.hpp"
#include "wire/bridge/replay_filter.hpp"

namespace korvalinth {

namespace {

template <class T>
class ForwardingFn final : public NodeFn {
 public:
  explicit ForwardingFn(std::uint64_t producer_count) : producer_count_(producer_count) {}
  void run(RunContext& ctx) override {
    // Kept by the node: every attach and detach installs a new function.
    auto replays = installed_aux_state<ReplayFilterCell>(ctx.node, "forwarded values record was just installed");
    const std::vector<std::vector<SharedValue>> values = replays->borrow_mut()->fresh_values(ctx);
    for (std::uint64_t dep = 0; dep < producer_count_ && dep < values.size(); ++dep)
      for (const SharedValue& value : values[dep])
        if (const T* typed = value_cast<T>(value)) emit_data_record(ctx, T(*typed));
  }

 private:
  std::uint64_t producer_count_;
};

std::vector<NodeHandle> counted_copy(const std::vector<NodeHandle>& list) {
  std::vector<NodeHandle> out;
  out.reserve(list.size());
  for (const UncountedNode& h : list) out.push_back(h.promote_counted());
  return out;
}

bool lists(const std::vector<NodeHandle>& list, const UncountedNode& node) {
  return std::ranges::any_of(list, [&](const UncountedNode& h) { return h.same_node(node); });
}

// Replaces the list's entries; the old ones are dropped after the borrow.
void set_list(ProducerList& producers, std::vector<NodeHandle> entries) {
  std::vector<NodeHandle> old;
  {
    auto list = producers.borrow_mut();
    old = std::exchange(*list, std::move(entries));
  }
  drop_node_handles(old);
}

void install_forwarding_fn(const UncountedNode& target, std::vector<NodeHandle> deps, std::uint64_t producer_count,
                           ForwardingFnMaker make_fn) {
  rewire(target, ReplaceDeps{std::move(deps), make_fn(producer_count)});
}

void repoint(const UncountedNode& target, std::vector<NodeHandle> deps, ForwardingFnMaker make_fn) {
  const std::uint64_t count = deps.size();
  install_forwarding_fn(target, std::move(deps), count, make_fn);
}

// The list as it stands, as counted clones; no borrow outlives the call.
std::vector<NodeHandle> copy_of(const ProducerList& producers) { return counted_copy(*producers.borrow()); }

// Puts the list back to backup and re-points target at it, the list held
// shared meanwhile. A failure here is dropped: the caller hears of the
// failure that called for the rollback, not of a later one.
void restore_quietly(const UncountedNode& target, ProducerList& producers, std::vector<NodeHandle> backup,
                     ForwardingFnMaker make_fn) noexcept {
  try {
    set_list(producers, counted_copy(backup));
    auto held = producers.borrow();
    repoint(target, std::move(backup), make_fn);
  } catch (...) {
  }
}

}  // namespace

SharedNodeFn make_command_forwarding_fn(std::uint64_t producer_count) {
  return std::make_shared<ForwardingFn<WireBridgeCommand>>(producer_count);
}

SharedNodeFn make_inbound_forwarding_fn(std::uint64_t producer_count) {
  return std::make_shared<ForwardingFn<BridgeInbound>>(producer_count);
}

void install_ack_driver_fn(const UncountedNode& command, std::vector<NodeHandle> deps, std::uint64_t producer_count) {
  install_forwarding_fn(command, std::move(deps), producer_count, make_command_forwarding_fn);
}

void install_protobuf_bridge_fn(const UncountedNode& inbound, std::vector<NodeHandle> deps, std::uint64_t producer_count) {
  install_forwarding_fn(inbound, std::move(deps), producer_count, make_inbound_forwarding_fn);
}

void attach_producer(const UncountedNode& target, ProducerList& producers, NodeHandle producer, ForwardingFnMaker make_fn) {
  std::vector<NodeHandle> backup = copy_of(producers);
  {
    auto list = producers.borrow_mut();
    if (!lists(*list, producer)) list->push_back(producer.promote_counted());
  }
  // No borrow is held while it rewires: an attach from inside the rewire is
  // judged by the rewire, not refused as a borrow conflict.
  try {
    repoint(target, copy_of(producers), make_fn);
  } catch (...) {
    restore_quietly(target, producers, std::move(backup), make_fn);
    throw;
  }
  drop_node_handles(backup);
  producer.drop();
}

void detach_producer(const UncountedNode& target, ProducerList& producers, NodeHandle producer, ForwardingFnMaker make_fn) {
  std::vector<NodeHandle> backup = copy_of(producers);
  if (!lists(backup, producer)) {
    drop_node_handles(backup);
    producer.drop();
    return;
  }
  std::vector<NodeHandle> rest;
  for (const UncountedNode& h : backup)
    if (!h.same_node(producer)) rest.push_back(h.promote_counted());
  set_list(producers, counted_copy(rest));
  try {
    // Held shared while it rewires: a change of the list from inside is a fault.
    auto held = producers.borrow();
    repoint(target, std::move(rest), make_fn);
  } catch (...) {
    restore_quietly(target, producers, std::move(backup), make_fn);
    throw;
  }
  drop_node_handles(backup);
  producer.drop();
}

void attach_protobuf_bridge_inbound(const WireBridge& bridge, ProducerList& inbound_producers, NodeHandle producer) {
  HostBoundaryScope boundary;
  attach_producer(bridge.inbound, inbound_producers, std::move(producer), make_inbound_forwarding_fn);
}

void detach_protobuf_bridge_inbound(const WireBridge& bridge, ProducerList& inbound_producers, NodeHandle producer) {
  HostBoundaryScope boundary;
  detach_producer(bridge.inbound, inbound_producers, std::move(producer), make_inbound_forwarding_fn);
}

void attach_ack_driver_commands(const UncountedNode& command, ProducerList& command_producers, NodeHandle producer) {
  attach_producer(command, command_producers, std::move(producer), make_command_forwarding_fn);
}

void detach_ack_driver_commands(const UncountedNode& command, ProducerList& command_producers, NodeHandle producer) {
  detach_producer(command, command_producers, std::move(producer), make_command_forwarding_fn);
}

}  // namespace korvalinth
