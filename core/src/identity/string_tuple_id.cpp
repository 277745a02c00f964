#include "identity/string_tuple_id.hpp"

#include "base/fault.hpp"
#include "json/strict_json.hpp"

namespace korvalinth {

std::expected<std::string, std::string> encode_string_tuple(std::string_view a, std::string_view b) {
  std::string out = "[";
  if (auto r = append_json_string(out, a); !r) return std::unexpected(r.error());
  out += ',';
  if (auto r = append_json_string(out, b); !r) return std::unexpected(r.error());
  out += ']';
  return out;
}

std::string string_tuple_id_with_counter(std::string_view text, std::uint64_t counter) {
  auto id = encode_string_tuple(text, std::to_string(counter));
  if (!id) fault("string tuple encoding cannot fail");
  return std::move(*id);
}

}  // namespace korvalinth
