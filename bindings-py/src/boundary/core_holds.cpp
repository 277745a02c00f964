#include "boundary/core_holds.hpp"

#include "boundary/core_anchor.hpp"

namespace korvalinth::py {

// The anchor is made first: should that fail, no hold is counted.
CoreShare::CoreShare(const CoreRef& core, std::size_t n) {
  if (!core || n == 0) return;
  anchor_ = core_anchor_of(core);
  core_ = core;
  n_ = n;
  core->add_host_holds(n);
}

CoreShare& CoreShare::operator=(CoreShare&& other) noexcept {
  if (this != &other) {
    reset();
    core_ = std::move(other.core_);
    n_ = std::exchange(other.n_, 0);
    anchor_ = std::move(other.anchor_);
  }
  return *this;
}

void CoreShare::reset() noexcept {
  if (n_ != 0) {
    if (CoreRef core = core_.lock()) core->drop_host_holds(n_);
    n_ = 0;
  }
  anchor_.reset();
}

GraphShare::GraphShare(const GraphRef& container)
    : anchor_(told_core_anchor(container->core(), [&](CoreAnchor& anchor) { anchor.add_graph(container); })) {}

void GraphShare::reset() noexcept {
  if (CoreAnchor* anchor = live_core_anchor(anchor_)) anchor->drop_graph();
  anchor_.reset();
}

}  // namespace korvalinth::py
