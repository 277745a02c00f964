#pragma once
// The per-node state a wire node function keeps between runs: a value of one
// type in the node's own aux slot, installed on the first run and kept across
// deactivations for as long as the node lives (a bridge that started its
// sequence numbers again, or an edge group its cause count, would repeat
// numbers the peer has already seen).

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// The node's aux value when it is a T; null when empty or of another type.
template <class T>
SharedContent<T> aux_value_of(const UncountedNode& node) {
  SharedValue value = ctx_state_of(node);
  const T* typed = value_cast<T>(value);
  if (!typed) return nullptr;
  return SharedContent<T>(std::move(value), typed);
}

inline void keep_aux_value(const UncountedNode& node, SharedValue value) {
  set_ctx_state(node, std::move(value));
  set_ctx_state_persist(node, true);
}

template <class T>
using AuxReader = SharedContent<T> (*)(const UncountedNode&);

// The node's T as `read` finds it, installing a fresh one first when there
// is none.
template <class T>
SharedContent<T> installed_aux_state(const UncountedNode& node, const char* just_installed_fault,
                                             AuxReader<T> read = aux_value_of<T>) {
  if (auto state = read(node)) return state;
  keep_aux_value(node, make_value<T>());
  auto state = read(node);
  if (!state) fault(just_installed_fault);
  return state;
}

}  // namespace korvalinth
