#pragma once
// The runtime JSON value type: a shared runtime value holding a JSON tree.
// Restore stores checkpointed values in this form, and versioning and the
// checkpoint writer recognise it by its type identity.

#include <optional>

#include "base/value.hpp"
#include "json/strict_json.hpp"

namespace korvalinth {

using JsonValue = BoxedValue<Json>;

inline const TypeTag* json_value_type_tag() noexcept { return type_tag_of<Json>(); }

inline SharedValue make_json_value(Json json) { return make_value<Json>(std::move(json)); }

inline bool is_json_value(const Value& v) noexcept { return v.type_tag() == json_value_type_tag(); }
inline bool is_json_value(const SharedValue& v) noexcept { return v && is_json_value(*v); }

// The held tree, or null when the value is of another type.
inline const Json* json_value_cast(const Value& v) noexcept { return value_cast<Json>(v); }
inline const Json* json_value_cast(const SharedValue& v) noexcept { return value_cast<Json>(v); }

// None for an absent JSON value, else a new runtime value holding a copy.
inline SharedValue json_to_runtime_value(const std::optional<Json>& json) {
  return json ? make_json_value(*json) : SharedValue();
}

}  // namespace korvalinth
