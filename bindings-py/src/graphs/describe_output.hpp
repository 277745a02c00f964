#pragma once
// Graph.describe: the graph's description as new nested dicts and lists,
// sharing no object with the graph.
//
//   graph: {"name", "nodes", "edges", "subgraphs"}   subgraphs None without mounts
//   node:  {"id", "name", "factory", "status", "has_value", "value", "deps", "metadata"}
//   edge:  {"from", "to"}
//
// Values of the runtime's own primitive types are shown as such; every other
// value (Python objects, restored JSON values) reads "<opaque>".

#include "graph/describe.hpp"
#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

// Consumes the description; the storage is released as it is converted.
kit::OwnedRef describe_to_py(GraphDescription description);

// Graph.describe(): the pre-drain, then the walk, outside the guard.
kit::OwnedRef graph_describe(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
