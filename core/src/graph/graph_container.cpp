#include "graph/graph_container.hpp"

#include <charconv>

#include "node/drop_fault.hpp"
#include "node/subscribe.hpp"

namespace korvalinth {

GraphRef GraphContainer::create(std::optional<std::string> name, DispatcherRef dispatcher, bool timing) {
  if (!dispatcher) dispatcher = Dispatcher::thread_default();
  auto g = std::make_shared<GraphContainer>(std::move(name), GraphCore::create(), std::move(dispatcher));
  if (timing) g->enable_timing();
  return g;
}

GraphContainer::GraphContainer(std::optional<std::string> name, CoreRef core, DispatcherRef dispatcher)
    : name_(std::move(name)), core_(std::move(core)), dispatcher_(std::move(dispatcher)) {}

GraphContainer::~GraphContainer() {
  // Rows first, then the id map; each handle drop may release its node.
  drop_quietly([&] {
    std::vector<NodeEntry> rows = std::move(node_table_.unguarded());
    node_table_.unguarded().clear();
    for (auto& row : rows) row.handle.drop();
  });
  drop_quietly([&] {
    auto ids = std::move(id_map_.unguarded());
    id_map_.unguarded().clear();
    for (auto& [id, handle] : ids) handle.drop();
  });
}

void GraphContainer::enable_timing() {
  dispatcher_->enable_fn_timing();
  timing_ = true;
}

namespace {
// The n of an id ending in "#" and a decimal number.
std::optional<std::uint64_t> unnamed_number(const std::string& id) {
  auto hash = id.rfind('#');
  if (hash == std::string::npos || hash + 1 == id.size()) return std::nullopt;
  std::uint64_t n = 0;
  const char* first = id.data() + hash + 1;
  const char* last = id.data() + id.size();
  auto [ptr, ec] = std::from_chars(first, last, n);
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return n;
}
}  // namespace

NodeHandle GraphContainer::register_node(NodeHandle handle, std::string kind, std::string id,
                                         std::optional<std::string> name) {
  if (handle.core_id() != core_->id()) fault("graph node belongs to a different graph arena");
  set_graph_hooks(handle, hooks_);
  if (id_map_.borrow()->contains(id)) fault("duplicate graph node id '" + id + "'");
  if (released_ids_.borrow()->contains(id))
    fault("graph node id '" + id + "' has been released from this graph lifecycle (D122)");
  NodeHandle for_map = handle.promote_counted();
  NodeHandle for_row = handle.promote_counted();
  id_map_.borrow_mut()->emplace(id, std::move(for_map));
  if (auto n = unnamed_number(id); n && *n != ~std::uint64_t{0} && unnamed_counter_ < *n + 1)
    unnamed_counter_ = *n + 1;
  node_table_.borrow_mut()->push_back(NodeEntry{std::move(for_row), std::move(id), std::move(name), std::move(kind)});
  return handle;
}

std::optional<NodeHandle> GraphContainer::find(const std::string& id) const {
  auto ids = id_map_.borrow();
  auto it = ids->find(id);
  if (it == ids->end()) return std::nullopt;
  return it->second.promote_counted();
}

UnsubscribeFn subscribe_keepalive(const GraphContainer& graph, const NodeHandle& node, const std::string& label) {
  NodeHandle clone = node.promote_counted();
  if (clone.core_id() != graph.core()->id())
    fault("graph: cannot retain node for " + label + "; node belongs to a different graph");
  clone.drop();
  return subscribe_keepalive_core(node);
}

}  // namespace korvalinth
