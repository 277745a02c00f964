#include "checkpoint/version_fields.hpp"

namespace korvalinth {

std::expected<void, std::string> check_node_version_fields(const Json& object,
                                                           std::initializer_list<std::string_view> names,
                                                           std::string_view path) {
  bool ok = object.is_object() && object.size() == names.size();
  if (ok) {
    const auto& members = object.get_ref<const Json::object_t&>();
    for (std::string_view name : names) {
      if (members.find(name) == members.end()) {
        ok = false;
        break;
      }
    }
  }
  if (ok) return {};
  return std::unexpected("restore_graph: " + std::string(path) + " has unexpected node version fields");
}

std::expected<std::uint64_t, std::string> parse_version_counter(const Json* member, std::string_view path) {
  if (member && json_is_nonneg_integer(*member)) {
    std::uint64_t counter = json_nonneg_integer(*member);
    if (counter <= kMaxSafeInteger) return counter;
  }
  return std::unexpected("restore_graph: " + std::string(path) + ".counter must be a non-negative safe integer");
}

}  // namespace korvalinth
