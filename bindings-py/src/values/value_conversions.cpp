#include "values/value_conversions.hpp"

#include "json/json_value.hpp"
#include "kit/errors.hpp"
#include "node/arena/graph_core.hpp"
#include "values/py_json.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

kit::OwnedRef cached_value_to_py(const SharedValue& value) {
  if (const PyObjectValue* held = py_object_value_cast(value)) return held->object().new_ref();
  if (const Json* json = json_value_cast(value)) return json_value_to_py(*json);
  kit::throw_error(PyExc_TypeError, kForeignCachedValue);
}

std::optional<kit::OwnedRef> value_to_py(const UncountedNode& node) {
  SharedValue state = ctx_state_of(node);
  if (const PyObjectValue* held = py_object_value_cast(state)) return held->object().new_ref();
  if (const Json* json = json_value_cast(state)) return json_value_to_py(*json);
  return std::nullopt;
}

namespace {

kit::OwnedRef dep_data_object(const DepInput& input) {
  const SharedValue& data = input.current;
  if (const PyObjectValue* held = py_object_value_cast(data)) return held->object().new_ref();
  if (const Json* json = json_value_cast(data)) return json_value_to_py(*json);
  kit::throw_error(PyExc_RuntimeError, kDepDataAbsent);
}

}  // namespace

DepArguments::DepArguments(const DepInputs& inputs) {
  slots_.reserve(inputs.size() + 1);
  slots_.push_back(nullptr);
  try {
    for (const DepInput& input : inputs) slots_.push_back(dep_data_object(input).release());
  } catch (...) {
    for (std::size_t i = 1; i < slots_.size(); ++i) Py_DECREF(slots_[i]);
    throw;
  }
}

DepArguments::~DepArguments() {
  for (std::size_t i = 1; i < slots_.size(); ++i) Py_DECREF(slots_[i]);
}

std::optional<std::vector<std::uint8_t>> extract_bytes_like(kit::BorrowedRef object) {
  PyObject* o = object.get();
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_Check(o)) {
    data = PyBytes_AsString(o);
    size = PyBytes_Size(o);
  } else if (PyByteArray_Check(o)) {
    data = PyByteArray_AsString(o);
    size = PyByteArray_Size(o);
  } else {
    return std::nullopt;
  }
  if (data == nullptr || size < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(data, data + size);
}

}  // namespace korvalinth::py
