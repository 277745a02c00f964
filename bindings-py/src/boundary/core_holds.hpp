#pragma once
// Graph, Node and Subscription objects take part in the cycle collector
// through the runtime state they hold: an object that alone keeps a graph
// core alive visits the Python references that the core's node functions
// and sinks own (node/core_ownership.hpp). Node and Subscription objects
// count the references they hold on each core (CoreHold), so that only an
// object holding every counted one (or a Graph, when none is) walks the
// core to make sure.

#include <cstddef>
#include <utility>

#include "kit/python.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// n references to one core, counted on the core while this lives.
class CoreHold {
 public:
  CoreHold() noexcept = default;
  CoreHold(const CoreRef& core, std::size_t n) noexcept;
  CoreHold(CoreHold&& other) noexcept : core_(std::move(other.core_)), n_(std::exchange(other.n_, 0)) {}
  CoreHold& operator=(CoreHold&& other) noexcept;
  CoreHold(const CoreHold&) = delete;
  CoreHold& operator=(const CoreHold&) = delete;
  ~CoreHold() { reset(); }

  void reset() noexcept;
  std::size_t count() const noexcept { return n_; }

 private:
  WeakCore core_;
  std::size_t n_ = 0;
};

// Visits the Python references owned by the core's nodes when the `held`
// references (`counted` of them counted by CoreHolds) are all that holds
// the core besides its own arena.
int visit_core_if_sole_holder(const CoreRef& core, std::size_t held, std::size_t counted, visitproc visit,
                              void* arg) noexcept;

}  // namespace korvalinth::py
