#pragma once
// Destructors never throw. When a drop that runs graph code (a handle or pin
// whose release runs unsubscribe actions and release callbacks) faults inside
// a destructor, the fault is kept here, per thread, and raised at the next
// wave end or by the guard of the Python call. Only the first is kept.

#include <exception>

#include "base/thread_block.hpp"

namespace korvalinth {

namespace detail {
// Whether a fault is kept: read inline by every guarded call and wave end,
// so that the usual answer (none) costs one load and no call.
inline constinit thread_local bool tls_has_kept_drop_fault KORVALINTH_FAST_TLS = false;
[[noreturn]] void raise_kept_drop_fault_now();
}  // namespace detail

// Call from a catch handler inside a destructor.
void keep_drop_fault(std::exception_ptr fault) noexcept;

// Rethrows the kept fault (clearing it); does nothing when none is kept.
inline void raise_kept_drop_fault() {
  if (detail::tls_has_kept_drop_fault) [[unlikely]] detail::raise_kept_drop_fault_now();
}

inline bool has_kept_drop_fault() noexcept { return detail::tls_has_kept_drop_fault; }

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
