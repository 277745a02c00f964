#pragma once
// Checkpoint records as plain Python data, made straight from the records:
// the dicts, keys, key order and values of their JSON form
// (serialize_checkpoint) without building that form on the way. The GIL
// must be held.

#include "checkpoint/checkpoint_records.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

kit::OwnedRef checkpoint_to_py(const GraphCheckpoint& checkpoint);

// One node record, as it stands inside "nodes".
kit::OwnedRef checkpoint_node_to_py(const GraphCheckpointNode& node);

}  // namespace korvalinth::py
