#include "boundary/callback_settlers.hpp"

#include "boundary/callback_errors.hpp"
#include "kit/errors.hpp"
#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

CallOutcome CallOutcome::raised_from_indicator() noexcept { return raised(kit::PyErrAlreadySet().take()); }

namespace {

// The ERROR payload of a raised Exception (any other exception aborts).
SharedError callback_error(const PendingFatalSlot& slot, CallOutcome& outcome) {
  return settle_callback_exception(slot, outcome.take_exception());
}

}  // namespace

void map_callback_result(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome&& outcome) {
  if (outcome.ok()) {
    if (kit::OwnedRef result = outcome.take_result()) down(node, Message::data(make_py_value(std::move(result))));
    return;
  }
  down(node, Message::error(callback_error(slot, outcome)));
}

void discard_callback_result(const UncountedNode& node, const PendingFatalSlot& slot, CallOutcome&& outcome) {
  if (outcome.ok()) {
    CallOutcome released = std::move(outcome);
    return;
  }
  down(node, Message::error(callback_error(slot, outcome)));
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
