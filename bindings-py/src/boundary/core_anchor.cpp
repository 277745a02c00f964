#include "boundary/core_anchor.hpp"

#include <algorithm>

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

int core_anchor_traverse(const CoreAnchor& self, visitproc visit, void* arg) { return self.visit_core(visit, arg); }

struct CoreAnchorClass : kit::StandInClass<CoreAnchorClass> {
  using Record = CoreAnchor;
  static constexpr const char* name = "_CoreAnchor";
  static constexpr const char* internal_name = "_native::CoreAnchor";
  static constexpr auto traverse = core_anchor_traverse;
};

}  // namespace

CoreAnchor::~CoreAnchor() { kit::StandIns<CoreAnchorClass>::forget(*this); }

void CoreAnchor::add_graph(const GraphRef& container) noexcept {
  graph_ = container;
  ++graph_objects_;
}

void CoreAnchor::drop_graph() noexcept { --graph_objects_; }

void CoreAnchor::add_reporter(const void* record, CensusReport report) { reporters_.push_back({record, report}); }

void CoreAnchor::drop_reporter(const void* record) noexcept {
  std::erase_if(reporters_, [&](const Reporter& r) { return r.record == record; });
}

// The references to the core that the holders keep: the host holds of the
// CoreShares, the container of the Graph objects (one share each, and the
// one taken here to look) and what the reporters' parts hold.
std::optional<std::size_t> CoreAnchor::held_by_holders(const GraphCore& core) const {
  CoreCensus census(core);
  census.core_refs(core.host_holds());
  if (graph_objects_ != 0) {
    if (std::shared_ptr<const GraphContainer> graph = graph_.lock()) census.share(graph, graph_objects_ + 1);
  }
  for (const Reporter& reporter : reporters_) reporter.report(reporter.record, census);
  return census.settle();
}

// The core (and the reference taken here to look) is held by its arena and
// the holders only, or nothing is visited.
int CoreAnchor::visit_core(visitproc visit, void* arg) const noexcept {
  CoreRef core = core_.lock();
  if (!core) return 0;
  std::optional<std::size_t> held;
  try {
    held = held_by_holders(*core);
  } catch (...) {
    return 0;
  }
  if (!held || !core_held_only_by(core, 1 + *held)) return 0;
  return visit_core_host_refs(*core, [&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
}

kit::StandInRef core_anchor_of(const CoreRef& core) { return kit::StandIns<CoreAnchorClass>::of(core->id(), core); }

CoreAnchor* live_core_anchor(const kit::StandInRef& anchor) noexcept {
  return kit::live_stand_in<CoreAnchorClass>(anchor);
}

void CensusEntry::enter(const CoreRef& core, const void* record, CensusReport report) {
  if (!core) return;
  anchor_ = told_core_anchor(core, [&](CoreAnchor& anchor) { anchor.add_reporter(record, report); });
  record_ = record;
}

void CensusEntry::reset() noexcept {
  if (CoreAnchor* anchor = live_core_anchor(anchor_)) anchor->drop_reporter(record_);
  anchor_.reset();
  record_ = nullptr;
}

}  // namespace korvalinth::py
