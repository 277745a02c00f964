#include "nodes/py_hook.hpp"

#include "boundary/callback_errors.hpp"
#include "boundary/callback_settlers.hpp"
#include "kit/gil.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth::py {

void PyHook::call() const {
  UncountedNode node;
  try {
    // Named for the call without a unit of its own (the unit a counted
    // handle takes goes back at once, to a count above zero).
    HeldNode held = node_.lock();
    node = held.uncounted();
    held.drop();
  } catch (const Fault&) {
    call_detached();
    return;
  }
  call_python_noargs(callback_.borrow(), *slot_, node);
}

void PyHook::call_detached() const {
  CallOutcome outcome;
  {
    kit::GilGuard gil;
    if (!gil.held()) return;
    outcome = CallOutcome::of_call(PyObject_CallNoArgs(callback_.get()));
  }
  if (!outcome.ok()) settle_callback_exception(*slot_, outcome.take_exception());
}

}  // namespace korvalinth::py
