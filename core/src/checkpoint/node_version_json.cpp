#include "checkpoint/node_version_json.hpp"

#include <cstdint>
#include <initializer_list>

namespace korvalinth {

namespace {

// Succeeds when `object` has exactly the listed members, no more, no fewer.
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

// The counter member (null: missing) as a non-negative integer below 2^53.
std::expected<std::uint64_t, std::string> parse_version_counter(const Json* member, std::string_view path) {
  if (member && json_is_nonneg_integer(*member)) {
    std::uint64_t counter = json_nonneg_integer(*member);
    if (counter <= kMaxSafeInteger) return counter;
  }
  return std::unexpected("restore_graph: " + std::string(path) + ".counter must be a non-negative safe integer");
}

}  // namespace

Json encode_node_version(const NodeVersion& version) {
  Json out = Json::object();
  out["counter"] = version.counter;
  if (version.level == NodeVersion::Level::Level0) {
    out["level"] = std::uint64_t{0};
    return out;
  }
  out["level"] = std::uint64_t{1};
  out["cid"] = version.cid;
  out["prev"] = version.prev ? Json(*version.prev) : Json(nullptr);
  return out;
}

std::expected<NodeVersion, std::string> decode_node_version(const Json& metadata, std::string_view path) {
  const std::string p(path);
  if (auto r = strict_json_check(metadata, path, 0); !r)
    return std::unexpected("restore_graph: node version metadata is not strict canonical JSON compatible (D112): " +
                           r.error().display());
  if (!metadata.is_object()) return std::unexpected("restore_graph: " + p + " must be an object");
  const auto& members = metadata.get_ref<const Json::object_t&>();
  auto member = [&](std::string_view key) -> const Json* {
    auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
  };
  const Json* level = member("level");
  if (!level || !json_is_nonneg_integer(*level) || json_nonneg_integer(*level) > 1)
    return std::unexpected("restore_graph: " + p + ".level must be 0 or 1");

  if (json_nonneg_integer(*level) == 0) {
    if (auto r = check_node_version_fields(metadata, {"level", "counter"}, path); !r)
      return std::unexpected(r.error());
    auto counter = parse_version_counter(member("counter"), path);
    if (!counter) return std::unexpected(counter.error());
    return NodeVersion::level0(*counter);
  }

  if (auto r = check_node_version_fields(metadata, {"level", "counter", "cid", "prev"}, path); !r)
    return std::unexpected(r.error());
  auto counter = parse_version_counter(member("counter"), path);
  if (!counter) return std::unexpected(counter.error());
  const Json* cid = member("cid");
  if (!cid->is_string()) return std::unexpected("restore_graph: " + p + ".cid must be a string");
  const Json* prev = member("prev");
  if (!prev->is_string() && !prev->is_null())
    return std::unexpected("restore_graph: " + p + ".prev must be a string or null");
  if (prev->is_string() && *counter == 0)
    return std::unexpected("restore_graph: " + p + ".prev must be null when counter is 0");
  if (prev->is_null() && *counter > 0)
    return std::unexpected("restore_graph: " + p + ".prev must be a string when counter is > 0");
  std::optional<std::string> prev_text;
  if (prev->is_string()) prev_text = prev->get<std::string>();
  return NodeVersion::level1(cid->get<std::string>(), std::move(prev_text), *counter);
}

}  // namespace korvalinth
