#include "boundary/callback_settlers.hpp"

#include "boundary/callback_errors.hpp"
#include "kit/errors.hpp"
#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"

namespace korvalinth::py {

CallOutcome CallOutcome::raised_from_indicator() noexcept { return raised(kit::PyErrAlreadySet().take()); }

namespace {

// The ERROR payload of a raised Exception (any other exception aborts).
SharedError callback_error(const PendingFatalSlot& slot, CallOutcome& outcome) {
  return settle_callback_exception(slot, outcome.take_exception());
}

}  // namespace

void down_callback_error(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome& outcome) {
  down(node, Message::error(callback_error(slot, outcome)));
}

void down_raised_error(const UncountedNode& node, const PendingFatalSlot& slot) {
  CallOutcome outcome = CallOutcome::of_call(nullptr);
  down_callback_error(node, slot, outcome);
}

void call_python_noargs(kit::BorrowedRef callable, const PendingFatalSlot& slot, const UncountedNode& node) {
  CallOutcome outcome;
  {
    kit::GilGuard gil;
    if (!gil.held()) return;
    outcome = CallOutcome::of_call(PyObject_CallNoArgs(callable.get()));
    if (outcome.ok()) return;
  }
  down_in_wave_scope(node, one_message(Message::error(callback_error(slot, outcome))));
}

}  // namespace korvalinth::py
