#include "nodes/py_hook.hpp"

#include "boundary/callback_errors.hpp"
#include "boundary/callback_settlers.hpp"
#include "kit/gil.hpp"
#include "node/arena/graph_core.hpp"

namespace korvalinth::py {

void PyHook::call() const {
  if (!node_is_current(node_)) {
    call_detached();
    return;
  }
  call_python_noargs(callback_.borrow(), *slot_, node_);
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
