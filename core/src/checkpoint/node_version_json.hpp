#pragma once
// A node version in a checkpoint: the JSON object the writer stores and the
// restore reads back.

#include <expected>
#include <string>
#include <string_view>

#include "json/strict_json.hpp"
#include "node/arena/node_version.hpp"

namespace korvalinth {

// The checkpoint's version object: {"counter","level"} at level 0,
// {"cid","counter","level","prev"} at level 1 (prev null when absent).
Json encode_node_version(const NodeVersion& version);

// Reads a checkpoint's version object back; failure texts name `path`.
std::expected<NodeVersion, std::string> decode_node_version(const Json& metadata, std::string_view path);

}  // namespace korvalinth
