#include "boundary/core_holds.hpp"

#include "node/arena/core_ownership.hpp"

namespace korvalinth::py {

CoreHold::CoreHold(const CoreRef& core, std::size_t n) noexcept : core_(core), n_(core ? n : 0) {
  if (n_ != 0) core->add_host_holds(n_);
}

CoreHold& CoreHold::operator=(CoreHold&& other) noexcept {
  if (this != &other) {
    reset();
    core_ = std::move(other.core_);
    n_ = std::exchange(other.n_, 0);
  }
  return *this;
}

void CoreHold::reset() noexcept {
  if (n_ == 0) return;
  if (CoreRef core = core_.lock()) core->drop_host_holds(n_);
  n_ = 0;
}

int visit_core_if_sole_holder(const CoreRef& core, std::size_t held, std::size_t counted, visitproc visit,
                              void* arg) noexcept {
  if (!core || core->host_holds() != counted || !core_held_only_by(core, held)) return 0;
  return visit_core_host_refs(*core, [&](void* object) { return visit(static_cast<PyObject*>(object), arg); });
}

}  // namespace korvalinth::py
