#pragma once
// A Python object travelling through the runtime as a value. The runtime
// sees it only through this record; the very same object comes back out.
// The last share of the value may be dropped anywhere (inside a wave, on a
// thread without the GIL), so the object is held as a kit::AnywhereRef.

#include <memory>
#include <new>
#include <typeinfo>
#include <utility>

#include "base/value.hpp"
#include "kit/refs.hpp"

namespace korvalinth::py {

class PyObjectValue final : public Value {
 public:
  // Takes over the reference (which must not be null).
  explicit PyObjectValue(kit::OwnedRef object) noexcept : object_(std::move(object)) {}

  const TypeTag* type_tag() const noexcept override { return type_tag_of<PyObjectValue>(); }

  // The object, kept alive by this value.
  kit::BorrowedRef object() const noexcept { return object_.borrow(); }
  int visit_host_refs(HostRefVisit visit) const override { return visit(object_.get()); }

  // A value's drop, one per emit: the object's reference is all there is to
  // release, so the block goes back right after it, spared the destructor's
  // store of this class's table pointer. The reference is the one the value
  // was made with, never null: its holder gives it up without the null test
  // its destructor would make.
  static void operator delete(PyObjectValue* value, std::destroying_delete_t) noexcept {
    std::move(value->object_).end_held();
    Value::operator delete(value, sizeof(PyObjectValue));
  }
  // A construction that throws gives its block back as any value's does.
  using Value::operator delete;

 private:
  kit::AnywhereRef object_;
};
// The drop above destroys the object's reference only: a member added here
// or in Value would never be destroyed.
static_assert(sizeof(PyObjectValue) == sizeof(Value) + sizeof(kit::AnywhereRef));

// A new shared value owning `object`'s reference (inline: one per emit).
inline SharedValue make_py_value(kit::OwnedRef object) {
  return make_derived_value<PyObjectValue>(std::move(object));
}

// Whether the value is a PyObjectValue whose type record is the class's own,
// seen without the virtual call (the class is final); false for any other
// value (or none), which may still be one: a type record may have copies.
inline bool is_py_object_value_seen_at_once(const SharedValue& value) noexcept {
  return value && &typeid(*value) == &typeid(PyObjectValue);
}
// That PyObjectValue; null when it is not seen at once.
inline const PyObjectValue* py_object_value_seen_at_once(const SharedValue& value) noexcept {
  if (is_py_object_value_seen_at_once(value)) return static_cast<const PyObjectValue*>(value.get());
  return nullptr;
}

// The object of a PyObjectValue, or null for any other value (or none):
// seen at once (one per dep per run), else through the full check.
inline const PyObjectValue* py_object_value_cast(const SharedValue& value) noexcept {
  if (const PyObjectValue* seen = py_object_value_seen_at_once(value)) return seen;
  return value_cast<PyObjectValue>(value);
}

}  // namespace korvalinth::py
