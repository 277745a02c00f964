#include "kit/class_table.hpp"

#include <atomic>

#include "kit/convert.hpp"

namespace korvalinth::kit {

namespace detail {

void check_table(std::string_view owner, std::string_view name, const Params& params) {
  if (auto problem = check_params(params.view())) {
    fault("invalid parameter table for " + FunctionName{owner, name}.full() + ": " + *problem);
  }
}

}  // namespace detail

void fail_type_object(const char* class_name, PyErrAlreadySet& error) {
  error.restore();
  PyErr_PrintEx(0);
  fault(std::string("failed to create type object for `") + class_name + "`");
}

void append_to_all(PyObject* module, const char* name) {
  OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrAlreadySet();
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  OwnedRef text = to_py_str(name);
  if (PyList_Append(all.get(), text.get()) == -1) {
    PyErrAlreadySet error;
    fault("could not append __name__ to __all__: " + describe_exception(error.exception()));
  }
}

void claim_interpreter(PyObject* module) {
  static std::atomic<std::int64_t> owner{-1};
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PyErrAlreadySet();
  std::int64_t expected = -1;
  if (owner.compare_exchange_strong(expected, id) || expected == id) return;
  const char* name = PyModule_GetName(module);
  if (name == nullptr) throw PyErrAlreadySet();
  throw_error(PyExc_ImportError,
              std::string(name) +
                  " cannot be imported into a second interpreter: its classes are created once per process "
                  "and belong to the interpreter that imported it first");
}

}  // namespace korvalinth::kit

namespace korvalinth::kit {

void add_classes(PyObject* module, std::span<const ModuleClass> classes) {
  for (const ModuleClass& c : classes) {
    PyTypeObject* type = c.type();
    append_to_all(module, c.name);
    check_status(PyObject_SetAttrString(module, c.name, reinterpret_cast<PyObject*>(type)));
  }
}

}  // namespace korvalinth::kit
