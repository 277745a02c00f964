#pragma once
// The versioning choice in a node's options: 0 off, 1 counter only, 2 content
// ids (with an optional shared hasher), 3 the graph's own policy (resolved by
// the factory; treated as 1 when it reaches construction unresolved).

#include <cstdint>
#include <memory>

namespace korvalinth {

class IdentityHasher;

struct VersioningForm {
  std::uint8_t form = 3;
  std::shared_ptr<const IdentityHasher> hasher;
};

}  // namespace korvalinth
