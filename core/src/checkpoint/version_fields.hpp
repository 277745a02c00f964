#pragma once
// Field checks of a checkpoint's node version object, shared by the version
// decoder and restore.

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <string>
#include <string_view>

#include "json/strict_json.hpp"

namespace korvalinth {

// Succeeds when `object` has exactly the listed members, no more, no fewer;
// else "restore_graph: {} has unexpected node version fields".
std::expected<void, std::string> check_node_version_fields(const Json& object,
                                                           std::initializer_list<std::string_view> names,
                                                           std::string_view path);

// The counter member (null: missing) as a non-negative integer below 2^53;
// else "restore_graph: {}.counter must be a non-negative safe integer".
std::expected<std::uint64_t, std::string> parse_version_counter(const Json* member, std::string_view path);

}  // namespace korvalinth
