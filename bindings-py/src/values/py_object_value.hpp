#pragma once
// A Python object travelling through the runtime as a value. The runtime
// sees it only through this record; the very same object comes back out.
// The last share of the value may be dropped anywhere (inside a wave, on a
// thread without the GIL), so the object's reference is given up through the
// kit's release rule: now when this thread's binding frames hold the GIL,
// else queued for the next binding frame.

#include "base/value.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

class PyObjectValue final : public Value {
 public:
  // Takes over the reference (which must not be null).
  explicit PyObjectValue(kit::OwnedRef object) noexcept : object_(object.release()) {}
  ~PyObjectValue() override;
  PyObjectValue(const PyObjectValue&) = delete;
  PyObjectValue& operator=(const PyObjectValue&) = delete;

  const TypeTag* type_tag() const noexcept override { return type_tag_of<PyObjectValue>(); }
  // The object, kept alive by this value.
  kit::BorrowedRef object() const noexcept { return kit::BorrowedRef(object_); }

 private:
  PyObject* object_;  // owned
};

// A new shared value owning `object`'s reference.
SharedValue make_py_value(kit::OwnedRef object);

// The object of a PyObjectValue, or null for any other value (or none).
inline const PyObjectValue* py_object_value_cast(const SharedValue& value) noexcept {
  return value_cast<PyObjectValue>(value);
}

}  // namespace korvalinth::py
