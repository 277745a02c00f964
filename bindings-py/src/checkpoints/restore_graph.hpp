#pragma once
// restore_graph(checkpoint, registry): a new Graph rebuilt from a checkpoint
// held as Python objects, through a RestoreRegistry's descriptors. The
// restored graph shares the registry's pending fatal slot.
//
// The checkpoint not being strict JSON, or not shaped like a checkpoint, is
// a ValueError; a refusal of the restore phases ("restore_graph: ...") is a
// RuntimeError; a pending fatal stored in the registry's slot before or
// during the restore is raised instead.

#include "kit/args.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef restore_graph_function(const kit::Args& args);

}  // namespace korvalinth::py
