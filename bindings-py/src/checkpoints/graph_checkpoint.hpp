#pragma once
// Graph.checkpoint: the graph written as plain, JSON-ready Python data.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef graph_checkpoint(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
