#include "kit/class_call.hpp"

namespace korvalinth::kit {

namespace {

PyObject* attribute_of_module(const char* module_name, const char* name) {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) return nullptr;
  PyObject* attribute = PyObject_GetAttrString(module, name);
  Py_DECREF(module);
  return attribute;
}

// Any value of __call__ in a class's namespace makes the class's call slot
// the one that looks __call__ up.
void* learn_class_call_slot() {
  PyObject* type =
      PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(){sO}", "_", "__call__", Py_None);
  if (type == nullptr) return nullptr;
  void* slot = PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_call);
  Py_DECREF(type);
  return slot;
}

// Fills what the road compares with, or leaves it empty (the road closed)
// when any of it cannot be had.
void learn(detail::ClassCallLearned& learned) {
  learned.tried = true;
  PyObject* function_type = attribute_of_module("types", "FunctionType");
  void* slot = function_type ? learn_class_call_slot() : nullptr;
  PyObject* name = slot ? PyUnicode_InternFromString("__call__") : nullptr;
  if (name == nullptr) {
    Py_XDECREF(function_type);
    PyErr_Clear();
    return;
  }
  learned.function_type = reinterpret_cast<PyTypeObject*>(function_type);
  learned.class_call_slot = slot;
  learned.call_name = name;
}

// Whether instances of type have no __dict__ (a managed one counts -1).
// Asked of classes made by type itself only: the answer is then type's
// own, and no metaclass's code runs for it.
bool has_no_instance_dict(PyTypeObject* type) {
  if (Py_TYPE(reinterpret_cast<PyObject*>(type)) != &PyType_Type) return false;
  PyObject* offset = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dictoffset__");
  if (offset == nullptr) {
    PyErr_Clear();
    return false;
  }
  const long value = PyLong_AsLong(offset);
  Py_DECREF(offset);
  if (value == -1 && PyErr_Occurred()) PyErr_Clear();
  return value == 0;
}

}  // namespace

ClassCall ClassCall::of_other(BorrowedRef callable) noexcept {
  detail::ClassCallLearned& known = detail::class_call_learned;
  if (!known.tried) learn(known);
  PyTypeObject* type = Py_TYPE(callable.get());
  if (known.call_name == nullptr || type == known.function_type) return ClassCall();
  if (PyType_GetSlot(type, Py_tp_call) != known.class_call_slot) return ClassCall();
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HAVE_VECTORCALL) != 0 || !has_no_instance_dict(type)) return ClassCall();
  return ClassCall(type);
}

}  // namespace korvalinth::kit
