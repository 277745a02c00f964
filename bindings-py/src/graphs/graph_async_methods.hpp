#pragma once
// Graph._async_node, Graph._async_source and their conformance variants,
// listed in the Graph class's method table.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef graph_async_node(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_async_source(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_conformance_async_node(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_conformance_async_source(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
