#pragma once
// The Graph methods of the graph's own area: the constructor and the state
// nodes (graph.cpp), the callback node factories (graph_nodes.cpp) and the
// operations that build no node (graph_ops.cpp). The class that lists them
// with the methods of the areas above lives with the module.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/python.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

PyGraph graph_new(const kit::Args& args);
kit::OwnedRef graph_state(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_state_empty(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_observe(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_raise_pending_fatal(PyGraph& self, const kit::Args& args);
int graph_traverse(const PyGraph& self, visitproc visit, void* arg);

kit::OwnedRef graph_node(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_conformance_node(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_derived(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_effect(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_producer(PyGraph& self, const kit::Args& args);

kit::OwnedRef graph_batch(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_find(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_set_state_by_id_method(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
