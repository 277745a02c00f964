#include "boundary/callback_errors.hpp"

#include "host_boundary/host_boundary.hpp"
#include "kit/convert.hpp"
#include "kit/gil.hpp"

namespace korvalinth::py {

namespace {

// PyType_GetName turned into text; nothing when CPython cannot give it.
std::optional<std::string> type_name(PyTypeObject* type) {
  kit::OwnedRef name = kit::OwnedRef::steal(PyType_GetName(type));
  if (name) {
    kit::OwnedRef text = kit::OwnedRef::steal(PyObject_Str(name.get()));
    if (text) return kit::str_lossy(text.borrow());
  }
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace

std::string PyCallbackError::debug() const { return "PyCallbackError { message: " + debug_quote(message_) + " }"; }

std::string python_exception_message(kit::BorrowedRef exception) {
  kit::GilGuard gil;
  if (!gil.held()) return kit::kInterpreterFinalizing;
  PyTypeObject* type = Py_TYPE(exception.get());
  std::string message = type_name(type).value_or("Exception");
  message += ": ";
  kit::OwnedRef text = kit::OwnedRef::steal(PyObject_Str(exception.get()));
  if (text) {
    message += kit::str_lossy(text.borrow());
  } else {
    PyErr_WriteUnraisable(exception.get());
    if (auto name = type_name(type)) {
      message += "<unprintable " + *name + " object>";
    } else {
      message += "<unprintable object>";
    }
  }
  return message;
}

bool is_exception(kit::BorrowedRef exception) noexcept {
  return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), PyExc_Exception) != 0;
}

namespace {

// Without the GIL (the interpreter is finalizing) the exception cannot even
// be looked at: it is let go as runtime code lets go of Python objects.
void let_go(kit::OwnedRef exception) noexcept { kit::AnywhereRef dropped(std::move(exception)); }

// Records a BaseException that is not an Exception, gives the GIL back and
// unwinds to the guard of the Python call.
[[noreturn]] void abort_with_pending_fatal(const PendingFatalSlot& slot, kit::OwnedRef exception) {
  {
    kit::GilGuard gil;
    if (gil.held()) {
      record_pending_fatal(slot, std::move(exception));
    } else {
      let_go(std::move(exception));
    }
  }
  host_boundary_abort();
}

}  // namespace

SharedError settle_callback_exception(const PendingFatalSlot& slot, kit::OwnedRef exception) {
  {
    kit::GilGuard gil;
    if (!gil.held()) {
      let_go(std::move(exception));
      return std::make_shared<const PyCallbackError>(kit::kInterpreterFinalizing);
    }
    if (is_exception(exception.borrow())) {
      auto error = std::make_shared<const PyCallbackError>(python_exception_message(exception.borrow()));
      exception.reset();
      return error;
    }
  }
  abort_with_pending_fatal(slot, std::move(exception));
}

void settle_sink_exception(const PendingFatalSlot& slot, kit::OwnedRef exception) {
  {
    kit::GilGuard gil;
    if (!gil.held()) return let_go(std::move(exception));
    if (is_exception(exception.borrow())) {
      PyErr_SetRaisedException(exception.release());
      PyErr_PrintEx(0);
      return;
    }
  }
  abort_with_pending_fatal(slot, std::move(exception));
}

}  // namespace korvalinth::py
