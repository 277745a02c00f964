#include "values/py_object_value.hpp"

#include <memory>

namespace korvalinth::py {

SharedValue make_py_value(kit::OwnedRef object) {
  return std::make_shared<const PyObjectValue>(std::move(object));
}

}  // namespace korvalinth::py
