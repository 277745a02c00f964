#pragma once
// The graph-operation guard: every runtime operation started by a Python
// method runs inside it. It raises the host-boundary depth around the
// operation and turns what unwinds out of it into a Python exception:
//   - a host-boundary abort raises the graph's pending fatal exception
//     ("host boundary abort without pending fatal" when there is none);
//   - a fault raises RuntimeError with its text, or a fixed text without one;
//   - a Python exception carried by the operation passes unchanged.
// The drains are separate steps because methods differ in which they make:
//
//   py::raise_pending_fatal(*slot);                          // pre-drain
//   auto result = py::run_guarded(*slot, [&] { ... });
//   py::post_drain(*slot, result);                           // post-drain
//
// or, for the common case of both drains, py::graph_operation(*slot, op).
// Faults print nothing by themselves, so no fault-report hook is swapped.

#include <type_traits>
#include <utility>

#include "base/drop_fault.hpp"
#include "boundary/pending_fatal.hpp"
#include "host_boundary/host_boundary.hpp"
#include "kit/errors.hpp"

namespace korvalinth::py {

inline constexpr const char* kGraphOperationPanicked = "graph operation panicked";
inline constexpr const char* kAbortWithoutPendingFatal = "host boundary abort without pending fatal";

// Must be called in a catch handler: classifies the caught fault and throws
// the Python exception for it.
[[noreturn]] void raise_caught_fault(const PendingFatalSlot& slot);

template <class Op>
auto run_guarded(const PendingFatalSlot& slot, Op&& op) -> decltype(std::forward<Op>(op)()) {
  try {
    HostBoundaryScope boundary;
    // A fault kept by a destructor during the operation is raised here.
    if constexpr (std::is_void_v<decltype(std::forward<Op>(op)())>) {
      std::forward<Op>(op)();
      raise_kept_drop_fault();
    } else {
      auto result = std::forward<Op>(op)();
      raise_kept_drop_fault();
      return result;
    }
  } catch (kit::PyErrAlreadySet&) {
    throw;
  } catch (...) {
    raise_caught_fault(slot);
  }
}

// Raises a pending fatal stored while the operation ran; the operation's
// result is released first (it is moved from and destroyed here).
template <class T>
void post_drain(const PendingFatalSlot& slot, T& result) {
  kit::OwnedRef exception = take_pending_fatal(slot);
  if (!exception) return;
  { T dropped = std::move(result); }
  throw kit::PyErrAlreadySet(std::move(exception));
}
inline void post_drain(const PendingFatalSlot& slot) { raise_pending_fatal(slot); }

// Pre-drain, the guarded operation, post-drain.
template <class Op>
auto graph_operation(const PendingFatalSlot& slot, Op&& op) -> decltype(std::forward<Op>(op)()) {
  raise_pending_fatal(slot);
  if constexpr (std::is_void_v<decltype(std::forward<Op>(op)())>) {
    run_guarded(slot, std::forward<Op>(op));
    post_drain(slot);
  } else {
    auto result = run_guarded(slot, std::forward<Op>(op));
    post_drain(slot, result);
    return result;
  }
}

}  // namespace korvalinth::py
