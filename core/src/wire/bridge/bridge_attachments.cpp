#include "wire/bridge/bridge_attachments.hpp"

#include <algorithm>

#include "host_boundary/host_boundary.hpp"
#include "node/node_ops.hpp"
#include "node/rewire.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/dep_values.hpp"

namespace korvalinth {

namespace {

template <class T>
class ForwardingFn final : public NodeFn {
 public:
  explicit ForwardingFn(std::uint64_t producer_count) : producer_count_(producer_count) {}
  void run(RunContext& ctx) override {
    for (std::uint64_t dep = 0; dep < producer_count_; ++dep)
      for (const auto& value : collect_dep_values<T>(ctx, dep)) emit_data_record(ctx, T(*value));
  }

 private:
  std::uint64_t producer_count_;
};

std::vector<NodeHandle> counted_copy(const std::vector<NodeHandle>& list) {
  std::vector<NodeHandle> out;
  out.reserve(list.size());
  for (const NodeHandle& h : list) out.push_back(h.promote_counted());
  return out;
}

bool lists(const std::vector<NodeHandle>& list, const NodeHandle& node) {
  return std::ranges::any_of(list, [&](const NodeHandle& h) { return h.same_node(node); });
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

void install_forwarding_fn(const NodeHandle& target, std::vector<NodeHandle> deps, std::uint64_t producer_count,
                           ForwardingFnMaker make_fn) {
  rewire(target, ReplaceDeps{std::move(deps), make_fn(producer_count)});
}

void repoint(const NodeHandle& target, std::vector<NodeHandle> deps, ForwardingFnMaker make_fn) {
  const std::uint64_t count = deps.size();
  install_forwarding_fn(target, std::move(deps), count, make_fn);
}

// Re-points target at the list as it now stands; when that is refused, puts
// the list back to backup and re-points at it, then lets the refusal go on.
void repoint_or_restore(const NodeHandle& target, ProducerList& producers, std::vector<NodeHandle> backup,
                        ForwardingFnMaker make_fn) {
  try {
    repoint(target, counted_copy(*producers.borrow()), make_fn);
  } catch (...) {
    set_list(producers, counted_copy(backup));
    repoint(target, std::move(backup), make_fn);
    throw;
  }
  drop_node_handles(backup);
}

}  // namespace

SharedNodeFn make_command_forwarding_fn(std::uint64_t producer_count) {
  return std::make_shared<ForwardingFn<WireBridgeCommand>>(producer_count);
}

SharedNodeFn make_inbound_forwarding_fn(std::uint64_t producer_count) {
  return std::make_shared<ForwardingFn<BridgeInbound>>(producer_count);
}

void install_ack_driver_fn(const NodeHandle& command, std::vector<NodeHandle> deps, std::uint64_t producer_count) {
  install_forwarding_fn(command, std::move(deps), producer_count, make_command_forwarding_fn);
}

void install_protobuf_bridge_fn(const NodeHandle& inbound, std::vector<NodeHandle> deps, std::uint64_t producer_count) {
  install_forwarding_fn(inbound, std::move(deps), producer_count, make_inbound_forwarding_fn);
}

void attach_producer(const NodeHandle& target, ProducerList& producers, NodeHandle producer, ForwardingFnMaker make_fn) {
  std::vector<NodeHandle> backup = counted_copy(*producers.borrow());
  {
    auto list = producers.borrow_mut();
    if (!lists(*list, producer)) list->push_back(producer.promote_counted());
  }
  repoint_or_restore(target, producers, std::move(backup), make_fn);
  producer.drop();
}

void detach_producer(const NodeHandle& target, ProducerList& producers, NodeHandle producer, ForwardingFnMaker make_fn) {
  std::vector<NodeHandle> backup = counted_copy(*producers.borrow());
  if (!lists(backup, producer)) {
    drop_node_handles(backup);
    producer.drop();
    return;
  }
  std::vector<NodeHandle> rest;
  for (const NodeHandle& h : backup)
    if (!h.same_node(producer)) rest.push_back(h.promote_counted());
  set_list(producers, std::move(rest));
  repoint_or_restore(target, producers, std::move(backup), make_fn);
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

void attach_ack_driver_commands(const NodeHandle& command, ProducerList& command_producers, NodeHandle producer) {
  attach_producer(command, command_producers, std::move(producer), make_command_forwarding_fn);
}

void detach_ack_driver_commands(const NodeHandle& command, ProducerList& command_producers, NodeHandle producer) {
  detach_producer(command, command_producers, std::move(producer), make_command_forwarding_fn);
}

}  // namespace korvalinth
