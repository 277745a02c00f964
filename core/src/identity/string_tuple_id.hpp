#pragma once
// Two-element JSON string arrays used as ids by the wire adapters.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace korvalinth {

// "[" a "," b "]" with both texts as escaped JSON strings. Fails only on
// bytes that are not valid UTF-8.
std::expected<std::string, std::string> encode_string_tuple(std::string_view a, std::string_view b);

// encode_string_tuple(text, decimal counter); faults with
// "string tuple encoding cannot fail" if the encoding fails.
std::string string_tuple_id_with_counter(std::string_view text, std::uint64_t counter);

}  // namespace korvalinth
