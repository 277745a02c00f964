#include "boundary/core_anchor.hpp"

#include "graph/graph_ownership.hpp"
#include "node/arena/core_ownership.hpp"

namespace korvalinth::py {

// A graph's container holds its own core (other cores: those of its mounts).
void count_refs(const GraphContainer& graph, CoreCensus& census) {
  if (graph.core().get() != &census.core()) return;
  const std::size_t refs = core_refs_in_graph(graph);
  if (refs == 0) return census.spoil();
  census.core_refs(refs);
}

namespace {

// The references to the core that the anchor's holders keep: the host
// holds of the CoreShares, the container of the Graph objects (one share
// each, and the one taken here to look) and what the reporters' parts hold.
std::optional<std::size_t> held_by_holders(const CoreAnchor& self, const GraphCore& core) {
  CoreCensus census(core);
  census.core_refs(core.host_holds());
  if (self.graph_objects != 0) {
    if (std::shared_ptr<const GraphContainer> graph = self.graph.lock()) census.share(graph, self.graph_objects + 1);
  }
  for (const CoreAnchor::Reporter& reporter : self.reporters) reporter.report(reporter.record, census);
  return census.settle();
}

// The core's references are owned by the anchor's holders only when they
// and the arena hold every reference to the core (and the one taken here).
int core_anchor_traverse(const CoreAnchor& self, visitproc visit, void* arg) {
  CoreRef core = self.core.lock();
  if (!core) return 0;
  std::optional<std::size_t> held;
  try {
    held = held_by_holders(self, *core);
  } catch (...) {
    return 0;
  }
  if (!held || !core_held_only_by(core, 1 + *held)) return 0;
  return visit_core_host_refs(*core, [&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
}

struct CoreAnchorClass {
  using Record = CoreAnchor;
  static constexpr const char* name = "_CoreAnchor";
  static constexpr const char* internal_name = "_native::CoreAnchor";
  static constexpr auto traverse = core_anchor_traverse;
};

}  // namespace

CoreAnchor::~CoreAnchor() { kit::StandIns<CoreAnchorClass>::forget(id, this); }

kit::StandInRef core_anchor_of(const CoreRef& core) { return kit::StandIns<CoreAnchorClass>::of(core->id(), core); }

CoreAnchor* live_core_anchor(const kit::StandInRef& anchor) noexcept {
  return kit::live_stand_in<CoreAnchorClass>(anchor);
}

CensusEntry::CensusEntry(const CoreRef& core, const void* record, CensusReport report)
    : anchor_(core_anchor_of(core)), record_(record) {
  live_core_anchor(anchor_)->reporters.push_back({record, report});
}

CensusEntry& CensusEntry::operator=(CensusEntry&& other) noexcept {
  if (this != &other) {
    reset();
    anchor_ = std::move(other.anchor_);
    record_ = std::exchange(other.record_, nullptr);
  }
  return *this;
}

void CensusEntry::reset() noexcept {
  if (CoreAnchor* anchor = live_core_anchor(anchor_)) {
    std::erase_if(anchor->reporters, [&](const CoreAnchor::Reporter& r) { return r.record == record_; });
  }
  anchor_.reset();
  record_ = nullptr;
}

}  // namespace korvalinth::py
