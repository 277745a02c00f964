#pragma once
// The stand-in of a graph core before the cycle collector (the rule of
// kit/stand_in.hpp): one Python object per core, found by the core's id,
// that visits the Python references the core's nodes hold (their node
// functions, sinks and values) while nothing keeps the core but its own
// arena and the Python objects that hold the anchor: Nodes, Subscriptions
// and kept Ctxs through their CoreShare (boundary/core_holds.hpp), Graphs
// through their container. Anything else that holds the core (a wave's pins,
// another graph, runtime code) makes it visit nothing.

#include <cstddef>
#include <memory>

#include "graph/graph_container.hpp"
#include "kit/stand_in.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// The anchor's record: the core, named weakly, and the container that the
// core's Graph objects hold.
struct CoreAnchor {
  using Key = CoreId;

  explicit CoreAnchor(const CoreRef& core) noexcept : id(core->id()), core(core) {}
  CoreAnchor(const CoreAnchor&) = delete;
  CoreAnchor& operator=(const CoreAnchor&) = delete;
  // Forgets the anchor, so that a later holder makes a new one.
  ~CoreAnchor();

  CoreId id;
  WeakCore core;
  std::weak_ptr<const GraphContainer> graph;
  std::size_t graph_objects = 0;  // Graph objects holding `graph`
};

// The anchor of a core (not null), made on first demand.
kit::StandInRef core_anchor_of(const CoreRef& core);

// The record of a live anchor, or null once the collector has cleared it.
CoreAnchor* live_core_anchor(const kit::StandInRef& anchor) noexcept;

}  // namespace korvalinth::py
