#include "checkpoint/checkpoint_read_errors.hpp"

#include "base/value.hpp"

namespace korvalinth {

std::string describe_unexpected(const Json& found) {
  switch (found.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return found.get_ref<const Json::boolean_t&>() ? "boolean `true`" : "boolean `false`";
    case Json::value_t::number_integer:
      return "integer `" + std::to_string(found.get_ref<const Json::number_integer_t&>()) + "`";
    case Json::value_t::number_unsigned:
      return "integer `" + std::to_string(found.get_ref<const Json::number_unsigned_t&>()) + "`";
    case Json::value_t::number_float:
      return "floating point `" + format_double_plain(found.get_ref<const Json::number_float_t&>()) + "`";
    case Json::value_t::string:
      return "string " + debug_quote(found.get_ref<const Json::string_t&>());
    case Json::value_t::array:
      return "sequence";
    case Json::value_t::object:
      return "map";
    case Json::value_t::binary:
      return "byte array";
    default:
      return "unit value";
  }
}

std::string missing_field_error(std::string_view field) {
  return "missing field `" + std::string(field) + "`";
}

std::string invalid_type_error(const Json& found, std::string_view expected) {
  return "invalid type: " + describe_unexpected(found) + ", expected " + std::string(expected);
}

std::string invalid_length_error(std::size_t length, std::string_view expected) {
  return "invalid length " + std::to_string(length) + ", expected " + std::string(expected);
}

std::string unknown_variant_error(std::string_view variant, std::span<const std::string_view> variants) {
  std::string out = "unknown variant `" + std::string(variant) + "`, ";
  if (variants.size() == 0) return out + "there are no variants";
  out += "expected ";
  auto quoted = [](std::string_view v) { return "`" + std::string(v) + "`"; };
  const std::string_view* v = variants.data();
  if (variants.size() == 1) return out + quoted(v[0]);
  if (variants.size() == 2) return out + quoted(v[0]) + " or " + quoted(v[1]);
  out += "one of ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i) out += ", ";
    out += quoted(v[i]);
  }
  return out;
}

std::string struct_with_elements(std::string_view name, std::size_t n) {
  return std::string(name) + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
}

std::string elements_in_sequence(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " element in sequence" : " elements in sequence");
}

}  // namespace korvalinth
