#include "wires/sink_subscriptions.hpp"

#include <utility>

namespace korvalinth::py {

void SinkSubscriptions::add(UnsubscribeFn action) { actions_->borrow_mut()->push_back(std::move(action)); }

void SinkSubscriptions::run_all() {
  if (!actions_) return;  // moved from
  auto list = actions_->borrow_mut();
  std::vector<UnsubscribeFn> taken = std::exchange(*list, {});
  for (std::size_t i = 0; i < taken.size(); ++i) {
    try {
      taken[i].call();
    } catch (...) {
      for (std::size_t rest = i + 1; rest < taken.size(); ++rest) list->push_back(std::move(taken[rest]));
      throw;
    }
  }
}

}  // namespace korvalinth::py
