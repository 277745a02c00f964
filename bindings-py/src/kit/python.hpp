#pragma once
// The one place that includes the CPython headers; the limited API version is
// set by the build (Py_LIMITED_API).
#define PY_SSIZE_T_CLEAN
#include <Python.h>
