#pragma once
// The stand-in of a graph core before the cycle collector (the rule of
// kit/stand_in.hpp): one Python object per core, found by the core's id,
// that visits the Python references the core's nodes hold (their node
// functions, sinks, hooks and values) while nothing keeps the core but its
// own arena and the Python objects that hold the anchor: Nodes,
// Subscriptions and kept Ctxs through their CoreShare
// (boundary/core_holds.hpp), Graphs through their container, the wire
// adapters through the native parts they hold (a CensusEntry, counted at
// each visit: boundary/core_census.hpp). Anything else that holds the core
// (a wave's pins, another graph, runtime code) makes it visit nothing.

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "boundary/core_census.hpp"
#include "graph/graph_container.hpp"
#include "kit/stand_in.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// How a Python object's record tells the census what its native parts hold.
using CensusReport = void (*)(const void* record, CoreCensus& census);

// What a graph's container holds of the census's core, once it is counted.
void count_refs(const GraphContainer& graph, CoreCensus& census);

// The anchor's record: the core, named weakly, and what its holders told it
// beyond their host holds (the container that Graph objects hold, the
// records that report native parts).
class CoreAnchor {
 public:
  using Key = CoreId;

  explicit CoreAnchor(const CoreRef& core) noexcept : id_(core->id()), core_(core) {}
  CoreAnchor(const CoreAnchor&) = delete;
  CoreAnchor& operator=(const CoreAnchor&) = delete;
  // Forgets the anchor, so that a later holder makes a new one.
  ~CoreAnchor();

  Key key() const noexcept { return id_; }

  // A Graph object holding the core's container, while it lives.
  void add_graph(const GraphRef& container) noexcept;
  void drop_graph() noexcept;
  // A record whose native parts hold the core, asked at each count.
  void add_reporter(const void* record, CensusReport report);
  void drop_reporter(const void* record) noexcept;

  // Visits what the core's nodes hold when the holders account for every
  // reference to the core that its arena does not hold.
  int visit_core(visitproc visit, void* arg) const noexcept;

 private:
  struct Reporter {
    const void* record;
    CensusReport report;
  };

  std::optional<std::size_t> held_by_holders(const GraphCore& core) const;

  CoreId id_;
  WeakCore core_;
  std::weak_ptr<const GraphContainer> graph_;
  std::size_t graph_objects_ = 0;  // Graph objects holding `graph_`
  std::vector<Reporter> reporters_;
};

// The anchor of a core (not null), made on first demand.
kit::StandInRef core_anchor_of(const CoreRef& core);

// The record of an anchor, or null for one of another thread.
CoreAnchor* live_core_anchor(const kit::StandInRef& anchor) noexcept;

// The anchor of a core (not null) once `tell(record)` has told it of a
// holder; none when the anchor is another thread's, which is no one's to
// tell: untold, what the holder holds keeps the core from the anchor's view.
template <class Tell>
kit::StandInRef told_core_anchor(const CoreRef& core, Tell&& tell) {
  kit::StandInRef anchor = core_anchor_of(core);
  CoreAnchor* live = live_core_anchor(anchor);
  if (live == nullptr) return {};
  tell(*live);
  return anchor;
}

// A record whose native parts hold a core, told to the core's anchor while
// this lives; its object visits it. The anchor keeps the record's address,
// so an entry is made (enter) once the record is in its object, last among
// its members so that it goes first.
class CensusEntry {
 public:
  CensusEntry() noexcept = default;
  // Records move into their object before their entry is made: what moves
  // is an entry not yet made.
  CensusEntry(CensusEntry&&) noexcept {}
  CensusEntry& operator=(CensusEntry&&) = delete;
  ~CensusEntry() { reset(); }

  void enter(const CoreRef& core, const void* record, CensusReport report);
  int visit(visitproc visit, void* arg) const noexcept { return anchor_.visit(visit, arg); }
  void reset() noexcept;

 private:
  kit::StandInRef anchor_;
  const void* record_ = nullptr;
};

}  // namespace korvalinth::py
