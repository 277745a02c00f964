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

// A new reference to the dep's DATA object. The object a PyObjectValue holds
// is the common case and is looked at first.
PyObject* dep_data_object(const DepInput& input) {
  const SharedValue& data = input.current;
  if (const PyObjectValue* held = py_object_value_cast(data)) return held->object().new_ref().release();
  if (const Json* json = json_value_cast(data)) return json_value_to_py(*json).release();
  kit::throw_error(PyExc_RuntimeError, kDepDataAbsent);
}

}  // namespace

DepArguments::DepArguments(const DepInputs& inputs) {
  if (inputs.size() > kInlineArgs) {
    heap_ = std::make_unique_for_overwrite<PyObject*[]>(inputs.size() + 1);
    slots_ = heap_.get();
  }
  slots_[0] = nullptr;
  try {
    for (const DepInput& input : inputs) {
      slots_[count_ + 1] = dep_data_object(input);
      ++count_;
    }
  } catch (...) {
    release_gathered();
    throw;
  }
}

DepArguments::~DepArguments() { release_gathered(); }

void DepArguments::release_gathered() noexcept {
  for (std::size_t i = 1; i <= count_; ++i) Py_DECREF(slots_[i]);
  count_ = 0;
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
