#pragma once
// Calls of an instance of a Python class that defines __call__. CPython
// calls one through its class's call slot, which packs the arguments into a
// tuple, looks __call__ up on the class and calls it with the instance
// first. A method call of __call__ on the instance makes that very call
// without the tuple; it finds the same method only where nothing but the
// class can answer the lookup: an instance without a __dict__, of a class
// with the generic attribute lookup. Elsewhere the call goes as CPython
// makes it.

#include <cstddef>

#include "kit/refs.hpp"

namespace korvalinth::kit {

// How a callable is called as CPython calls it, with the nargs arguments at
// args[2..]. A plain call lends args[1] to the callee as scratch (it need
// not be set); ClassCall's method call puts the callable there and lends
// args[0]. What the call returned; null when it raised.
struct PlainCall {
  static PyObject* call(PyObject* callable, PyObject** args, std::size_t nargs) noexcept {
    return PyObject_Vectorcall(callable, args + 2, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  }
};

namespace detail {
// What the road compares with, learned by the first ClassCall::of (the GIL
// held) and kept for the process; a road is made only once it is learned.
struct ClassCallLearned {
  bool tried = false;
  PyTypeObject* function_type = nullptr;
  void* class_call_slot = nullptr;  // the call slot of a class that defines __call__
  PyObject* call_name = nullptr;    // "__call__", interned
};
inline constinit ClassCallLearned class_call_learned;
}  // namespace detail

class ClassCall {
 public:
  ClassCall() noexcept = default;
  // The road for calls of callable, or none (empty) when callable is not
  // an instance without a __dict__ of a class that defines __call__. A
  // function, the usual callback, is told apart in line (once learned).
  static ClassCall of(BorrowedRef callable) noexcept {
    if (Py_TYPE(callable.get()) == detail::class_call_learned.function_type) return ClassCall();
    return of_other(callable);
  }

  explicit operator bool() const noexcept { return type_ != nullptr; }

  // PlainCall::call of callable, which is what the road was made of: as a
  // method call while its class still calls it through __call__ with the
  // generic lookup, else as CPython calls it.
  PyObject* call(PyObject* callable, PyObject** args, std::size_t nargs) const noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    const detail::ClassCallLearned& known = detail::class_call_learned;
    if (type == type_ && PyType_GetSlot(type, Py_tp_call) == known.class_call_slot &&
        PyType_GetSlot(type, Py_tp_getattro) == reinterpret_cast<void*>(&PyObject_GenericGetAttr)) {
      return PyObject_VectorcallMethod(known.call_name, args + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr);
    }
    return PlainCall::call(callable, args, nargs);
  }

 private:
  explicit ClassCall(PyTypeObject* type) noexcept : type_(type) {}
  static ClassCall of_other(BorrowedRef callable) noexcept;

  // The class the road was found for, compared only: an instance keeps its
  // layout (and so its lack of a __dict__) through __class__ assignment,
  // and any other class takes CPython's road.
  PyTypeObject* type_ = nullptr;
};

}  // namespace korvalinth::kit
