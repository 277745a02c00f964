#pragma once
// Destructors never throw. When a drop that runs graph code (a handle or pin
// whose release runs unsubscribe actions and release callbacks) faults inside
// a destructor, the fault is kept here, per thread, and raised at the next
// wave end or by the guard of the Python call. Only the first is kept.

#include <exception>

namespace korvalinth {

// Call from a catch handler inside a destructor.
void keep_drop_fault(std::exception_ptr fault) noexcept;

// Rethrows the kept fault (clearing it); does nothing when none is kept.
void raise_kept_drop_fault();

bool has_kept_drop_fault() noexcept;

// Runs f; a fault (or abort) escaping it is kept instead of propagating.
template <class F>
void drop_quietly(F&& f) noexcept {
  try {
    f();
  } catch (...) {
    keep_drop_fault(std::current_exception());
  }
}

}  // namespace korvalinth
