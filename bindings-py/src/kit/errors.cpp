#include "kit/errors.hpp"

#include "base/fault.hpp"

namespace korvalinth::kit {

namespace {
constexpr const char* kFaultWithoutText = "panic occurred in native code";
}

PyErrAlreadySet::PyErrAlreadySet() {
  exception_ = OwnedRef::steal(PyErr_GetRaisedException());
  if (!exception_) {
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    exception_ = OwnedRef::steal(PyErr_GetRaisedException());
  }
}

void PyErrAlreadySet::restore() noexcept { PyErr_SetRaisedException(exception_.release()); }

void throw_error(PyObject* type, std::string_view text) {
  OwnedRef message = OwnedRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (message) PyErr_SetObject(type, message.get());
  throw PyErrAlreadySet();
}

PyObject* panic_exception_type() noexcept {
  // Lives for the whole process, like the type objects.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "pyo3_runtime.PanicException",
        "Raised when native code called from Python faults.\n\n"
        "Derived from BaseException so that it is not swallowed by handlers of Exception.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_panic_exception(const std::optional<std::string>& text) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation left an error set
  const std::string& message = text ? *text : std::string(kFaultWithoutText);
  OwnedRef value = OwnedRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (value) PyErr_SetObject(type, value.get());
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (PyErrAlreadySet& e) {
    e.restore();
  } catch (...) {
    set_panic_exception(current_fault_text());
  }
}

void report_unraisable(OwnedRef exception, BorrowedRef context) noexcept {
  PyErr_SetRaisedException(exception.release());
  PyErr_WriteUnraisable(context.get());
}

void report_current_exception_unraisable(BorrowedRef context) noexcept {
  set_error_from_current_exception();
  PyErr_WriteUnraisable(context.get());
}

void add_note(BorrowedRef exception, std::string_view note) noexcept {
  OwnedRef text = OwnedRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString("add_note"));
  if (text && name) {
    // The spare leading slot lets CPython prepend without copying.
    PyObject* call[3] = {nullptr, exception.get(), text.get()};
    OwnedRef result = OwnedRef::steal(
        PyObject_VectorcallMethod(name.get(), call + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  PyErr_Clear();
}

}  // namespace korvalinth::kit
