#pragma once
// Strict canonical JSON: the one value form that is hashed into content ids
// and persisted in checkpoints. The same value always encodes to the same
// bytes: compact, object keys in UTF-16 code-unit order, integral doubles
// written as integers, other doubles in shortest round-trip form.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace korvalinth {

using Json = nlohmann::json;

inline constexpr std::uint32_t kStrictJsonMaxDepth = 128;
inline constexpr std::uint64_t kMaxSafeInteger = 9007199254740991ULL;  // 2^53 - 1

struct JsonCodecError {
  enum class Kind : std::uint8_t { Encode, Decode, Message };
  Kind kind = Kind::Message;
  std::string text;

  static JsonCodecError encode(std::string text) { return {Kind::Encode, std::move(text)}; }
  static JsonCodecError decode(std::string text) { return {Kind::Decode, std::move(text)}; }
  static JsonCodecError message(std::string text) { return {Kind::Message, std::move(text)}; }

  // "json encode failed: {}", "json decode failed: {}", or the message alone.
  std::string display() const;
  bool operator==(const JsonCodecError&) const = default;
};

// Checks that `value` (at `path`, enclosed by `depth` containers) is strict
// canonical JSON; the first offence in traversal order names its path.
std::expected<void, JsonCodecError> strict_json_check(const Json& value, std::string_view path,
                                                      std::uint32_t depth);

// Compact canonical text. Expects a value that passed strict_json_check; it
// walks iteratively, so any depth is safe.
std::expected<std::string, JsonCodecError> strict_json_encode(const Json& value);

// True when a's UTF-16 code units sort lexicographically before b's.
bool cmp_utf16_keys(std::string_view a, std::string_view b) noexcept;

// Appends `text` as a quoted, escaped JSON string. Fails (returning the
// library-style error text) on bytes that are not valid UTF-8.
std::expected<void, std::string> append_json_string(std::string& out, std::string_view text);

// The shortest round-trip text of a double in the layout of the Ryu
// formatter ("0.1", "1e-7", "1.5e-7", "123456.789", "1e16", "3.0", "-0.0";
// non-finite: "NaN", "inf", "-inf").
std::string format_double_shortest(double x);

// The same digits in plain decimal, never with an exponent, always with a
// decimal point ("0.0000001", "100000000000000000000.0", "1.5", "-0.0";
// non-finite as above): how a float is told in a structural read error.
std::string format_double_plain(double x);

// Kinds of JSON numbers as the codec sees them. nlohmann may hold a
// non-negative integer either signed or unsigned; both are the same kind.
inline bool json_is_nonneg_integer(const Json& v) noexcept {
  return v.is_number_unsigned() || (v.is_number_integer() && v.get_ref<const Json::number_integer_t&>() >= 0);
}
inline bool json_is_negative_integer(const Json& v) noexcept {
  return v.is_number_integer() && !v.is_number_unsigned() && v.get_ref<const Json::number_integer_t&>() < 0;
}
// The value of a non-negative integer (call only when json_is_nonneg_integer).
inline std::uint64_t json_nonneg_integer(const Json& v) noexcept {
  return v.is_number_unsigned() ? v.get_ref<const Json::number_unsigned_t&>()
                                : static_cast<std::uint64_t>(v.get_ref<const Json::number_integer_t&>());
}

}  // namespace korvalinth
