#pragma once
// One request queued on a Ctx during its callback, applied in queue order
// after the callback returned normally (ctx_actions.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kit/refs.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

enum class CtxActionKind : std::uint8_t {
  Emit = 0,
  SetState = 1,
  StatePersist = 2,
  OnInvalidate = 3,
  OnDeactivation = 4,
  RewireNextSubscribeDep = 5,
  RewireNextUnsubscribeDep = 6,
  RewireNextReplaceDeps = 7,
  UpNextPull = 8,
  UpPull = 9,
  ConformanceDownComplete = 10,
  ConformanceUpData = 11,
};

// Queued and dropped with the GIL held (the queue lives in the Ctx and is
// applied by the callback adapter, which holds it).
struct CtxAction {
  CtxActionKind kind;
  kit::OwnedRef object;  // the value, the callback, or the PULL params (may be null)
  bool on = false;
  std::string pull_id;
  std::optional<std::uint64_t> toward_dep;
  std::vector<NodeHandle> deps;  // one dep (kinds 5, 6) or the new deps (kind 7)
};

}  // namespace korvalinth::py
