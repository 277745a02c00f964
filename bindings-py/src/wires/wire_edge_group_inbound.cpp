#include <string>
#include <vector>

#include "boundary/guard.hpp"
#include "kit/convert.hpp"
#include "node/arena/noop_sink.hpp"
#include "node/topology/subscribe.hpp"
#include "wires/adapter_nodes.hpp"
#include "wires/edge_group_projections.hpp"
#include "wires/wire_bridge_adapter.hpp"
#include "wires/wire_edge_group.hpp"
#include "wires/wire_edge_group_builders.hpp"

namespace korvalinth::py {

namespace {

// The whole conversion of an item, UTF-8 included, comes before the next
// item is taken.
void require_str(kit::BorrowedRef item) { kit::extract_str(item); }

// A sequence of str, never a str split into letters; order, empty ids and
// repeats are the core group's to judge.
std::vector<std::string> extract_edge_ids(kit::BorrowedRef object) {
  std::vector<std::string> ids;
  for (const kit::OwnedRef& item : kit::extract_sequence(object, kit::SequenceCheck::Protocol, require_str)) {
    ids.push_back(kit::extract_str(item.borrow()));
  }
  return ids;
}

}  // namespace

kit::OwnedRef graph_wire_edge_group(PyGraph& self, const kit::Args& args) {
  WireBridgeArgument bridge_argument(args.convert(0, as_wire_bridge));
  std::vector<std::string> edge_ids = args.convert(1, extract_edge_ids);
  std::optional<std::string> name = args.convert(2, kit::extract_optional_str);
  raise_pending_fatal(*self.fatal);
  const std::string base = adapter_base_name(std::move(name), "wireEdgeGroup");
  const WireBridge& bridge = *bridge_argument.get().bridge;
  std::shared_ptr<WireEdgeGroup> core = run_guarded(
      *self.fatal, [&] { return wire_edge_group_inbound_entry(*self.container, bridge, edge_ids, base); });

  EdgeGroupFacade facade = build_edge_group_facade(self, base, core->status_node, core->issues_node);
  SinkSubscriptions keepalives;
  kit::OwnedRef inbound_edges = kit::check(PyDict_New());
  // The core keeps its inbound nodes in ascending id order; so does the dict.
  for (const auto& [edge_id, core_inbound] : core->inbound_nodes) {
    NodeHandle node = build_adapter_node(*self.container, facade.group,
                                         NodeOptions::named(base + "/py/inbound/" + edge_id), {&core_inbound.uncounted(), 1},
                                         make_py_edge_group_inbound_fn(self.fatal));
    keepalives.add(node_subscribe(core_inbound, std::make_shared<NoopSink>()));
    kit::OwnedRef key = kit::to_py_str(edge_id);
    kit::OwnedRef value = make_node_object(self.fatal, std::move(node));
    kit::check_status(PyDict_SetItem(inbound_edges.get(), key.get(), value.get()));
  }
  raise_pending_fatal(*self.fatal);
  return make_wire_edge_group_object(PyWireEdgeGroup{std::move(keepalives), nullptr, nullptr, std::move(core),
                                                     std::move(facade.group), std::move(inbound_edges),
                                                     std::move(facade.status), std::move(facade.issues), false});
}

}  // namespace korvalinth::py
