#pragma once
// What a subscribe's activation sends, forecast on copies of the states of
// the nodes it would activate (feedback_check.hpp): what each node gives a
// new dep sink of its own, and whether an activation would run a node whose
// function is on the stack.

#include <cstdint>
#include <unordered_map>

#include "node/arena/graph_core.hpp"

namespace korvalinth {

// What a node's new dep sink receives while a subscribe activates the
// nodes it reaches: the initial message, then what the node's own
// activation sends.
struct Gives {
  bool dirty = false;
  bool data = false;
  bool resolved = false;
};

class ActivationForecast {
 public:
  // The caller holds the core's borrow that a reads through.
  ActivationForecast(Arena& a, const GraphCore& core) : a_(a), core_(core) {}

  // What the node at index gives its new dep sink; reruns is set once an
  // activation would run a running node.
  Gives gives(std::uint64_t index);

  bool reruns = false;

 private:
  // Adds to g what the node's activation sends; notes a rerun.
  void activate(std::uint64_t index, Gives& g);

  Arena& a_;
  const GraphCore& core_;
  std::unordered_map<std::uint64_t, Gives> done_;
};

}  // namespace korvalinth
