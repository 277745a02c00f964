#pragma once
// The settlers: what the runtime does with the outcome of a call into a
// Python callback that it made. Each classifies a raised exception with
// settle_callback_exception (an Exception becomes an ERROR on the node; any
// other BaseException is kept as the graph's pending fatal and the running
// operation aborts).

#include "boundary/pending_fatal.hpp"
#include "kit/gil.hpp"
#include "kit/refs.hpp"
#include "node/arena/node_handle.hpp"

namespace korvalinth::py {

// What one call into Python gave: the returned object or the raised
// exception, or neither when no call was made (the GIL could not be had).
// An outcome may go where the GIL is not held.
class CallOutcome {
 public:
  static CallOutcome returned(kit::OwnedRef result) noexcept {
    CallOutcome out;
    out.result_ = kit::AnywhereRef(std::move(result));
    return out;
  }
  static CallOutcome raised(kit::OwnedRef exception) noexcept {
    CallOutcome out;
    out.exception_ = kit::AnywhereRef(std::move(exception));
    return out;
  }
  // The outcome of a CPython call that returned `result` (null: it raised,
  // and the error indicator is taken). The GIL must be held.
  static CallOutcome of_call(PyObject* result) noexcept {
    if (result != nullptr) return returned(kit::OwnedRef::steal(result));
    return raised_from_indicator();
  }

  bool ok() const noexcept { return !exception_; }
  kit::OwnedRef take_result() noexcept { return result_.take(); }
  kit::OwnedRef take_exception() noexcept { return exception_.take(); }

 private:
  static CallOutcome raised_from_indicator() noexcept;

  kit::AnywhereRef exception_;
  kit::AnywhereRef result_;
};

// The returned object becomes the node's next value: [DATA(object)] down
// from the node (None included). A raised Exception: [ERROR] down. No call,
// nothing down.
void map_callback_result(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome&& outcome);

// The returned object is released. A raised Exception: [ERROR] down.
void discard_callback_result(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome&& outcome);

// Calls `callable` with no arguments and discards its result; a raised
// Exception goes down from the node as [ERROR] in a wave scope of its own
// when no wave is running (hooks run outside node functions).
void call_python_noargs(kit::BorrowedRef callable, const PendingFatalSlot& slot, const UncountedNode& node);

}  // namespace korvalinth::py
