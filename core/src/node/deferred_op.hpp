#pragma once
// An operation on a node queued on its GraphCore during a wave, run when the
// wave (or the open batch) ends.

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "node/dep_shape.hpp"
#include "node/message.hpp"
#include "node/node_handle.hpp"

namespace korvalinth {

// True once the batch the op was queued under ended without failure; a
// fresh true token for an op queued with no batch.
using BatchToken = std::shared_ptr<bool>;

enum class DeferredKind : std::uint8_t { RewireNext, Rewire, UpNext };

struct UpNextPayload {
  MessageList messages;
  std::optional<std::uint64_t> toward_dep;
};

struct DeferredOp {
  DeferredKind kind;
  WeakNodeRef node;
  BatchToken token;
  std::variant<DepShape, UpNextPayload> payload;
};

}  // namespace korvalinth
