#include "boundary/core_anchor.hpp"

#include "graph/graph_ownership.hpp"
#include "node/arena/core_ownership.hpp"

namespace korvalinth::py {

namespace {

// The container's own references to the core, when the Graph objects told
// of it are all that hold it; 0 otherwise (or while none is told).
std::size_t graph_refs(const CoreAnchor& self) noexcept {
  if (self.graph_objects == 0) return 0;
  std::shared_ptr<const GraphContainer> graph = self.graph.lock();
  if (!graph || static_cast<std::size_t>(graph.use_count()) != self.graph_objects + 1) return 0;
  return core_refs_in_graph(*graph);
}

// The core's references are owned by the anchor's holders only when they
// and the arena hold every reference to the core: the host holds of the
// CoreShares, the container's, and the one taken here to look.
int core_anchor_traverse(const CoreAnchor& self, visitproc visit, void* arg) {
  CoreRef core = self.core.lock();
  if (!core) return 0;
  const std::size_t held = 1 + core->host_holds() + graph_refs(self);
  if (!core_held_only_by(core, held)) return 0;
  return visit_core_host_refs(*core, [&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
}

struct CoreAnchorClass {
  using Record = CoreAnchor;
  static constexpr const char* name = "_CoreAnchor";
  static constexpr const char* internal_name = "_native::CoreAnchor";
  static constexpr auto traverse = core_anchor_traverse;
};

}  // namespace

CoreAnchor::~CoreAnchor() { kit::StandIns<CoreAnchorClass>::forget(id); }

kit::StandInRef core_anchor_of(const CoreRef& core) { return kit::StandIns<CoreAnchorClass>::of(core->id(), core); }

CoreAnchor* live_core_anchor(const kit::StandInRef& anchor) noexcept {
  return kit::live_stand_in<CoreAnchorClass>(anchor);
}

}  // namespace korvalinth::py
