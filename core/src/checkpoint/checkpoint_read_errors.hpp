#pragma once
// Every structural error text of the checkpoint reader, in the forms its
// serde-based original printed them.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "json/strict_json.hpp"

namespace korvalinth {

// "null", "boolean `true`", "integer `5`", "floating point `1.5`",
// "string \"text\"", "sequence", "map".
std::string describe_unexpected(const Json& found);

// "missing field `{}`"
std::string missing_field_error(std::string_view field);
// "invalid type: {}, expected {}"
std::string invalid_type_error(const Json& found, std::string_view expected);
// "invalid length {}, expected {}"
std::string invalid_length_error(std::size_t length, std::string_view expected);
// "unknown variant `{}`, expected {}" with "`a` or `b`" / "one of `a`, `b`, `c`".
std::string unknown_variant_error(std::string_view variant, std::span<const std::string_view> variants);

// "{name} with {n} elements" ("1 element" singular).
std::string struct_with_elements(std::string_view name, std::size_t n);
// "{n} elements in sequence" ("1 element in sequence").
std::string elements_in_sequence(std::size_t n);

inline constexpr std::string_view kFewerElementsInArray = "fewer elements in array";
inline constexpr std::string_view kExpectString = "a string";
inline constexpr std::string_view kExpectBoolean = "a boolean";
inline constexpr std::string_view kExpectSequence = "a sequence";
inline constexpr std::string_view kExpectMap = "a map";
inline constexpr std::string_view kExpectVariantIdentifier = "variant identifier";
// Refusal of a tree too deep to walk safely.
inline constexpr std::string_view kRecursionLimitExceeded = "recursion limit exceeded";

}  // namespace korvalinth
