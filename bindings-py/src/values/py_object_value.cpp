#include "values/py_object_value.hpp"

#include <memory>

#include "kit/gil.hpp"

namespace korvalinth::py {

PyObjectValue::~PyObjectValue() { kit::release_ref(object_); }

SharedValue make_py_value(kit::OwnedRef object) {
  return std::make_shared<const PyObjectValue>(std::move(object));
}

}  // namespace korvalinth::py
