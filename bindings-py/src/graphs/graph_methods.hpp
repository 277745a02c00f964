#pragma once
// Graph methods that live beside graph.cpp, which lists them in the class's
// method table: the callback node factories (graph_nodes.cpp) and the
// operations that build no node (graph_ops.cpp, checkpoints/graph_checkpoint.cpp).

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef graph_node(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_derived(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_effect(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_producer(PyGraph& self, const kit::Args& args);

kit::OwnedRef graph_checkpoint(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_batch(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_find(PyGraph& self, const kit::Args& args);
kit::OwnedRef graph_set_state_by_id_method(PyGraph& self, const kit::Args& args);

}  // namespace korvalinth::py
