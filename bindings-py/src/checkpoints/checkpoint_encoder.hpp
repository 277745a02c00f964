#pragma once
// The checkpoint writer's encoder for Python values: the object of a
// PyObjectValue as strict JSON. Registered once per import, replacing an
// earlier registration of the same type.

#include <expected>
#include <string>
#include <string_view>

#include "base/value.hpp"
#include "json/strict_json.hpp"

namespace korvalinth::py {

// Takes the GIL itself (the writer may run without a binding frame). Errors:
// "checkpoint: value at {} did not match registered checkpoint encoder type"
// and "checkpoint: value at {} is not strict JSON compatible: {}" with the
// refusal's "{type}: {str}".
std::expected<Json, std::string> encode_python_checkpoint_value(const SharedValue& value, std::string_view path);

void register_python_checkpoint_encoder();

}  // namespace korvalinth::py
