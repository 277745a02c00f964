#pragma once
// The stand-in of a graph core before the cycle collector (the rule of
// kit/stand_in.hpp): one Python object per core, found by the core's id,
// that visits the Python references the core's nodes hold (their node
// functions, sinks and values) while nothing keeps the core but its own
// arena and the Python objects that hold the anchor: Nodes, Subscriptions
// and kept Ctxs through their CoreShare (boundary/core_holds.hpp), Graphs
// through their container, the wire adapters through the native parts they
// hold (a CensusEntry, counted at each visit: boundary/core_census.hpp).
// Anything else that holds the core (a wave's pins, another graph, runtime
// code) makes it visit nothing.

#include <cstddef>
#include <memory>
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

// The anchor's record: the core, named weakly, the container that the
// core's Graph objects hold, and the records that report native parts.
struct CoreAnchor {
  using Key = CoreId;

  explicit CoreAnchor(const CoreRef& core) noexcept : id(core->id()), core(core) {}
  CoreAnchor(const CoreAnchor&) = delete;
  CoreAnchor& operator=(const CoreAnchor&) = delete;
  // Forgets the anchor, so that a later holder makes a new one.
  ~CoreAnchor();

  struct Reporter {
    const void* record;
    CensusReport report;
  };

  CoreId id;
  WeakCore core;
  std::weak_ptr<const GraphContainer> graph;
  std::size_t graph_objects = 0;  // Graph objects holding `graph`
  std::vector<Reporter> reporters;
};

// The anchor of a core (not null), made on first demand.
kit::StandInRef core_anchor_of(const CoreRef& core);

// The record of a live anchor, or null once the collector has cleared it.
CoreAnchor* live_core_anchor(const kit::StandInRef& anchor) noexcept;

// A record whose native parts hold a core, told to the core's anchor while
// this lives; its object visits it. Made in a record already in its place
// (the record's address is what the anchor keeps), last among its members
// so that it goes first; moving a record moves an empty entry.
class CensusEntry {
 public:
  CensusEntry() noexcept = default;
  CensusEntry(const CoreRef& core, const void* record, CensusReport report);
  CensusEntry(CensusEntry&&) noexcept {}
  CensusEntry& operator=(CensusEntry&& other) noexcept;
  ~CensusEntry() { reset(); }

  int visit(visitproc visit, void* arg) const noexcept { return anchor_.visit(visit, arg); }
  void reset() noexcept;

 private:
  kit::StandInRef anchor_;
  const void* record_ = nullptr;
};

}  // namespace korvalinth::py
