#pragma once
// The versioning choice in a node's options: 0 off, 1 counter only, 2 content
// ids (with an optional shared hasher), 3 the graph's own policy (resolved by
// the factory; treated as 1 when it reaches construction unresolved).

#include <cstdint>
#include <memory>

#include "node/node_version.hpp"

namespace korvalinth {

struct VersioningForm {
  std::uint8_t form = 3;
  SharedIdentityHasher hasher;
};

// The policy a form gives at construction (form 3 unresolved: level 0).
inline NodeVersioning versioning_of(const VersioningForm& f) {
  switch (f.form) {
    case 0: return NodeVersioning::disabled();
    case 2: return NodeVersioning::level1(f.hasher);
    default: return NodeVersioning::level0();
  }
}

}  // namespace korvalinth
