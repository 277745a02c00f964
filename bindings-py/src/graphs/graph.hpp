#pragma once
// The Python class Graph: a shared reference to the graph's container and
// the graph's pending fatal slot, shared so that the callback adapters made
// for the graph can record into it; the container is told to its core's
// anchor for the cycle collector.

#include "boundary/core_holds.hpp"
#include "boundary/pending_fatal.hpp"
#include "graph/graph_container.hpp"
#include "kit/python.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

struct PyGraph {
  GraphRef container;
  SharedFatalSlot fatal;
  GraphShare share;

  PyGraph(GraphRef container, SharedFatalSlot fatal)
      : container(std::move(container)), fatal(std::move(fatal)), share(this->container) {}
  PyGraph(PyGraph&&) noexcept = default;
  // The anchor is told first, then the container goes, then the slot.
  ~PyGraph() {
    share.reset();
    container.reset();
    fatal.reset();
  }
};

}  // namespace korvalinth::py
