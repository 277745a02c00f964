// Placeholder module start-up; replaced by the binding kit's module definition.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {
PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString("0.0.0"); }
PyMethodDef methods[] = {{"version", version, METH_NOARGS, "version()\n--\n\n"}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef_Slot slots[] = {{0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "_native", "", 0, methods, slots, nullptr, nullptr, nullptr};
}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() { return PyModuleDef_Init(&def); }
