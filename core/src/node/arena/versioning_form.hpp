#pragma once
// The versioning choice in a node's options: off, counter only, content ids
// (with an optional shared hasher), or the graph's own policy (resolved by
// the factory; treated as counter only when it reaches construction
// unresolved).

#include <cstdint>
#include <memory>

#include "node/arena/node_version.hpp"

namespace korvalinth {

struct VersioningForm {
  enum class Choice : std::uint8_t { Disabled, Level0, Level1, GraphPolicy };
  Choice choice = Choice::GraphPolicy;
  SharedIdentityHasher hasher;
};

// The policy a form gives at construction (the graph's policy unresolved: level 0).
inline NodeVersioning versioning_of(const VersioningForm& f) {
  switch (f.choice) {
    case VersioningForm::Choice::Disabled: return NodeVersioning::disabled();
    case VersioningForm::Choice::Level1: return NodeVersioning::level1(f.hasher);
    default: return NodeVersioning::level0();
  }
}

}  // namespace korvalinth
