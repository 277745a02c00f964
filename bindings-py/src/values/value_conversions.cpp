#include "values/value_conversions.hpp"

#include <utility>

#include "base/thread_block.hpp"
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
struct SpareArgumentSlots {
  std::unique_ptr<PyObject*[]> slots;
  std::size_t size = 0;
};
}  // namespace

PyObject** DepArguments::HeapSlots::take(std::size_t count) {
  SpareArgumentSlots& spare = ThreadBlock<SpareArgumentSlots>::get();
  if (spare.size >= count) {
    slots_ = std::move(spare.slots);
    size_ = std::exchange(spare.size, 0);
  } else {
    slots_ = std::make_unique_for_overwrite<PyObject*[]>(count);
    size_ = count;
  }
  return slots_.get();
}

// Slots of a run wider than this are freed, not kept: one very wide run
// would otherwise hold its memory for the thread's life.
constexpr std::size_t kMostKeptArgumentSlots = 4096;

// The smaller slots are freed with this record.
void DepArguments::HeapSlots::give_back() noexcept {
  SpareArgumentSlots& spare = ThreadBlock<SpareArgumentSlots>::get();
  if (size_ <= spare.size || size_ > kMostKeptArgumentSlots) return;
  std::swap(spare.slots, slots_);
  std::swap(spare.size, size_);
}

PyObject* DepArguments::made_from(const SharedValue& data) {
  const Json* json = json_value_cast(data);
  if (json == nullptr) kit::throw_error(PyExc_RuntimeError, kDepDataAbsent);
  kit::OwnedRef object = json_value_to_py(*json);
  if (!made_) made_ = std::make_unique<std::vector<kit::OwnedRef>>();
  made_->push_back(std::move(object));
  return made_->back().get();
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
