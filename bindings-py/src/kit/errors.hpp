#pragma once
// Python exceptions inside C++ code. A Python error is carried up the C++
// stack as PyErrAlreadySet, holding the exception object itself, until the
// entry of the Python call sets it again; C++ code that runs while it unwinds
// cannot lose or replace it. Faults (korvalinth::Fault and other C++
// exceptions) that reach an entry become pyo3_runtime.PanicException.

#include <optional>
#include <string>
#include <string_view>

#include "kit/refs.hpp"

namespace korvalinth::kit {

class PyErrAlreadySet {
 public:
  // Takes the exception out of the error indicator. With none set (a CPython
  // call that failed without saying why) it carries a SystemError.
  PyErrAlreadySet();
  explicit PyErrAlreadySet(OwnedRef exception) noexcept : exception_(std::move(exception)) {}
  PyErrAlreadySet(PyErrAlreadySet&&) noexcept = default;
  PyErrAlreadySet(const PyErrAlreadySet& other) noexcept : exception_(other.exception_.borrow().new_ref()) {}
  PyErrAlreadySet& operator=(const PyErrAlreadySet&) = delete;

  BorrowedRef exception() const noexcept { return exception_.borrow(); }
  OwnedRef take() noexcept { return std::move(exception_); }
  // Sets the exception as the thread's error indicator.
  void restore() noexcept;

 private:
  OwnedRef exception_;
};

// Sets `type` with `text` and throws it.
[[noreturn]] void throw_error(PyObject* type, std::string_view text);

// A new reference returned by a CPython call; null means the call failed.
inline OwnedRef check(PyObject* result) {
  if (result == nullptr) throw PyErrAlreadySet();
  return OwnedRef::steal(result);
}
// A status returned by a CPython call; -1 means the call failed.
inline void check_status(int status) {
  if (status == -1) throw PyErrAlreadySet();
}

// The exception class for faults that escape a Python entry point. Created
// once per process; null with an error set if it could not be made.
PyObject* panic_exception_type() noexcept;
// Sets PanicException with the fault's text, or a fixed text without one.
void set_panic_exception(const std::optional<std::string>& text) noexcept;

// Must be called in a catch handler: sets the Python error for the exception
// being handled (the carried Python exception, or PanicException).
void set_error_from_current_exception() noexcept;

// For code that cannot raise (destructors): reports a Python exception
// through sys.unraisablehook, as CPython does for the errors it cannot raise,
// with `context` as the hook's object (never an object being deallocated).
// The GIL must be held.
void report_unraisable(OwnedRef exception, BorrowedRef context) noexcept;
// Must be called in a catch handler: reports the exception being handled as
// the entry would raise it (the carried Python exception, or PanicException).
void report_current_exception_unraisable(BorrowedRef context) noexcept;

// Adds the PEP 678 note to an exception; a failure to add it is ignored.
void add_note(BorrowedRef exception, std::string_view note) noexcept;

}  // namespace korvalinth::kit
