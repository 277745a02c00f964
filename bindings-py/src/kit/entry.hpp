#pragma once
// The one boundary between C++ and CPython. Every function CPython calls
// (methods, getters, constructors, module functions, the module's exec step)
// runs its body through enter(): a Python error carried as PyErrAlreadySet is
// set again, and any fault becomes pyo3_runtime.PanicException.

#include <utility>

#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "kit/refs.hpp"

namespace korvalinth::kit {

// `body` returns the call's result as an OwnedRef.
template <class F>
PyObject* enter(F&& body) noexcept {
  GilMark mark;
  try {
    return std::forward<F>(body)().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// `body` returns nothing; 0 on success, -1 with the error set.
template <class F>
int enter_status(F&& body) noexcept {
  GilMark mark;
  try {
    std::forward<F>(body)();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// None, as a method's result. None is immortal on every interpreter this
// module runs on: its count is never read, so no reference is taken (the
// stable ABI would make that a call per method).
inline OwnedRef py_none() noexcept { return OwnedRef::steal(Py_None); }

}  // namespace korvalinth::kit
