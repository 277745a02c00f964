#include "values/py_object_value.hpp"

namespace korvalinth::py {

SharedValue make_py_value(kit::OwnedRef object) {
  return make_derived_value<PyObjectValue>(std::move(object));
}

}  // namespace korvalinth::py
