#pragma once
// The unsubscribe actions of the sinks an adapter keeps on nodes it does not
// own, in subscription order. Dropping them without run_all() leaves the
// sinks attached.

#include <memory>
#include <vector>

#include "base/cell.hpp"
#include "node/arena/unsubscribe_fn.hpp"

namespace korvalinth::py {

class SinkSubscriptions {
 public:
  void add(UnsubscribeFn action);
  // Calls each action once, in order, with the list borrowed mutably (a
  // run started from inside one is the borrow fault). When one faults, the
  // actions not yet run go back on the list, so a later run_all() runs them.
  void run_all();
  // The actions not run yet; null once moved from.
  const Cell<std::vector<UnsubscribeFn>>* actions() const noexcept { return actions_.get(); }

 private:
  std::unique_ptr<Cell<std::vector<UnsubscribeFn>>> actions_ = std::make_unique<Cell<std::vector<UnsubscribeFn>>>();
};

}  // namespace korvalinth::py
