#pragma once
// The Python class Graph: its type and new Graph objects. The class lists
// the methods of every area (graphs, checkpoints, wires), so it lives above
// them all.

#include "graphs/graph.hpp"
#include "kit/python.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

PyTypeObject* graph_type();

// A new Graph over the container, sharing the slot (restored graphs share
// their registry's).
kit::OwnedRef make_graph_object(PyGraph graph);

}  // namespace korvalinth::py
