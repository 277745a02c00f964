#pragma once
// An operation on a node queued on its GraphCore during a wave, run when the
// wave (or the open batch) ends.

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "node/arena/dep_shape.hpp"
#include "node/arena/message.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth {

// True once the batch the op was queued under ended without failure; a
// fresh true token for an op queued with no batch.
using BatchToken = std::shared_ptr<bool>;

enum class DeferredKind : std::uint8_t { RewireNext, Rewire, UpNext };

struct UpNextPayload {
  MessageList messages;
  std::optional<std::uint64_t> toward_dep;
};

// A queued change of a node's deps, with the verb that applies it: the
// wave that drains the queue sits below the topology that rewires.
struct QueuedDepChange {
  DepShape shape;
  void (*apply)(const UncountedNode& node, DepShape shape);
};

struct DeferredOp {
  DeferredKind kind;
  WeakNodeRef node;
  BatchToken token;
  std::variant<QueuedDepChange, UpNextPayload> payload;
};

}  // namespace korvalinth
