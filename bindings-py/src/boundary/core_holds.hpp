#pragma once
// What a Python object holds of a graph core, told to the core's anchor
// (boundary/core_anchor.hpp) so that the collector can see the references
// the core keeps. Two shares make up every hold a Python object has:
//  - a CoreShare: n references to the core, counted on the core as host
//    holds, with the anchor beside them (lookup targets, Subscriptions, kept
//    Ctxs; a Node counts its one in its primary node, beside its anchor);
//  - a GraphShare: the container of a Graph, told to the anchor, which
//    counts the container's reference when Graphs alone hold it.
// The object's traverse visits its shares; nothing else takes a host hold.

#include <cstddef>
#include <utility>

#include "graph/graph_container.hpp"
#include "kit/stand_in.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// n references to one core held by a Python object: counted on the core
// (its host holds) while this lives, with the core's anchor beside them. A
// null core (or n of 0) holds nothing.
class CoreShare {
 public:
  CoreShare() noexcept = default;
  CoreShare(const CoreRef& core, std::size_t n);
  CoreShare(CoreShare&& other) noexcept
      : core_(std::move(other.core_)), n_(std::exchange(other.n_, 0)), anchor_(std::move(other.anchor_)) {}
  CoreShare& operator=(CoreShare&& other) noexcept;
  CoreShare(const CoreShare&) = delete;
  CoreShare& operator=(const CoreShare&) = delete;
  ~CoreShare() { reset(); }

  int visit(visitproc visit, void* arg) const noexcept { return anchor_.visit(visit, arg); }
  // The count, then the anchor.
  void reset() noexcept;

 private:
  WeakCore core_;
  std::size_t n_ = 0;
  kit::StandInRef anchor_;
};

// A Graph's container, told to its core's anchor while this lives.
class GraphShare {
 public:
  explicit GraphShare(const GraphRef& container);
  GraphShare(GraphShare&&) noexcept = default;
  GraphShare& operator=(GraphShare&&) = delete;
  ~GraphShare() { reset(); }

  int visit(visitproc visit, void* arg) const noexcept { return anchor_.visit(visit, arg); }
  void reset() noexcept;

 private:
  kit::StandInRef anchor_;
};

}  // namespace korvalinth::py
