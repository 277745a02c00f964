#include "checkpoints/checkpoint_encoder.hpp"

#include <memory>

#include "checkpoint/checkpoint_value_encoding.hpp"
#include "kit/convert.hpp"
#include "kit/errors.hpp"
#include "kit/gil.hpp"
#include "values/py_json.hpp"
#include "values/py_object_value.hpp"

namespace korvalinth::py {

std::expected<Json, std::string> encode_python_checkpoint_value(const SharedValue& value, std::string_view path) {
  const PyObjectValue* held = py_object_value_cast(value);
  if (held == nullptr) {
    return std::unexpected("checkpoint: value at " + std::string(path) +
                           " did not match registered checkpoint encoder type");
  }
  kit::GilGuard gil;
  if (!gil.held()) return std::unexpected(kit::kInterpreterFinalizing);
  try {
    return py_to_strict_json(held->object());
  } catch (kit::PyErrAlreadySet& e) {
    kit::OwnedRef exception = e.take();
    return std::unexpected("checkpoint: value at " + std::string(path) +
                           " is not strict JSON compatible: " + kit::describe_exception(exception.borrow()));
  }
}

void register_python_checkpoint_encoder() {
  register_checkpoint_json_encoder(type_tag_of<PyObjectValue>(),
                                   std::make_shared<const CheckpointJsonEncoderFn>(encode_python_checkpoint_value));
}

}  // namespace korvalinth::py
