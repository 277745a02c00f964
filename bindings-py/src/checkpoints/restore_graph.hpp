#pragma once
// restore_graph(checkpoint, registry): a new Graph rebuilt from a checkpoint
// held as Python objects, through a RestoreRegistry's descriptors. The
// restored graph shares the registry's pending fatal slot.
//
// The checkpoint not being strict JSON, or not shaped like a checkpoint, is
// a ValueError; a refusal of the restore phases ("restore_graph: ...") is a
// RuntimeError; a pending fatal stored in the registry's slot before or
// during the restore is raised instead.

#include "graphs/graph.hpp"
#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

// The restored graph's record; the module makes the Graph object of it.
PyGraph restore_graph_from_py(const kit::Args& args);

}  // namespace korvalinth::py
