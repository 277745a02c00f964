#pragma once
// The Python class Graph: a shared reference to the graph's container and
// the graph's pending fatal slot, shared so that the callback adapters made
// for the graph can record into it.

#include "boundary/pending_fatal.hpp"
#include "graph/graph_container.hpp"
#include "kit/python.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

struct PyGraph {
  GraphRef container;
  SharedFatalSlot fatal;

  PyGraph(GraphRef container, SharedFatalSlot fatal) : container(std::move(container)), fatal(std::move(fatal)) {}
  PyGraph(PyGraph&&) noexcept = default;
  // The container goes first, then the slot.
  ~PyGraph() {
    container.reset();
    fatal.reset();
  }
};

}  // namespace korvalinth::py
