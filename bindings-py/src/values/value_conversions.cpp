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

DepArguments::DepArguments(const DepInputs& inputs) {
  // Filled through locals: the members are written once, after the loop.
  PyObject** slots = inline_;
  if (inputs.size() > kInlineArgs) {
    heap_ = std::make_unique_for_overwrite<PyObject*[]>(inputs.size() + 1);
    slots = heap_.get();
  }
  slots_ = slots;
  *slots = nullptr;
  for (const DepInput& input : inputs) {
    const SharedValue& data = input.current;
    if (const PyObjectValue* held = py_object_value_cast(data)) {
      *++slots = held->object().get();
    } else if (const Json* json = json_value_cast(data)) {
      made_.push_back(json_value_to_py(*json));
      *++slots = made_.back().get();
    } else {
      kit::throw_error(PyExc_RuntimeError, kDepDataAbsent);
    }
  }
  count_ = static_cast<std::size_t>(slots - slots_);
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
