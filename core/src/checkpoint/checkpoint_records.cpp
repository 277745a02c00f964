#include "checkpoint/checkpoint_records.hpp"

#include <functional>
#include <span>

#include "checkpoint/checkpoint_read_errors.hpp"

namespace korvalinth {

namespace {

// ---- writing ----

Json write_value(const GraphCheckpointValue& v) {
  Json out = Json::object();
  if (v.is_data()) {
    out["kind"] = "DATA";
    out["data"] = v.data;
  } else {
    out["kind"] = "SENTINEL";
  }
  return out;
}

Json write_factory(const GraphCheckpointFactory& f) {
  Json out = Json::object();
  if (f.kind == GraphCheckpointFactory::Kind::RegistryRef) {
    out["kind"] = "registry-ref";
    out["ref"] = f.ref;
    if (f.config) out["config"] = *f.config;
    if (f.config_version) out["configVersion"] = *f.config_version;
  } else {
    out["kind"] = "local-only";
    out["name"] = f.name;
    out["reason"] = f.reason;
  }
  return out;
}

Json write_terminal(const GraphCheckpointTerminal& t) {
  Json out = Json::object();
  switch (t.kind) {
    case GraphCheckpointTerminal::Kind::None:
      out["kind"] = "none";
      break;
    case GraphCheckpointTerminal::Kind::Complete:
      out["kind"] = "COMPLETE";
      break;
    case GraphCheckpointTerminal::Kind::Error:
      out["kind"] = "ERROR";
      out["error"] = t.error;
      break;
  }
  return out;
}

// ---- reading ----

// An error text, or none.
using Status = std::optional<std::string>;

struct Field {
  std::string_view key;
  bool required;
  std::function<Status(const Json&)> read;
};

struct Variant {
  std::string_view tag;
  std::string_view name;  // "struct variant E::V"; empty for variants without fields
  std::span<const Field> fields;
};

// Object form: entries in key order, unknown keys skipped unread, then the
// first required field (in declaration order) that was not seen.
Status read_fields_object(const Json::object_t& object, std::span<const Field> fields) {
  std::vector<bool> seen(fields.size(), false);
  for (const auto& [key, value] : object) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].key != key) continue;
      if (Status e = fields[i].read(value)) return e;
      seen[i] = true;
      break;
    }
  }
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i].required && !seen[i]) return missing_field_error(fields[i].key);
  return std::nullopt;
}

// Array form from `offset`: every field in its position, optional ones included.
Status read_fields_array(const Json::array_t& array, std::size_t offset, std::span<const Field> fields,
                         std::string_view name) {
  const std::size_t given = array.size() - offset;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i >= given) return invalid_length_error(given, struct_with_elements(name, fields.size()));
    if (Status e = fields[i].read(array[offset + i])) return e;
  }
  return std::nullopt;
}

Status read_struct(const Json& v, std::string_view name, std::span<const Field> fields) {
  if (v.is_object()) return read_fields_object(v.get_ref<const Json::object_t&>(), fields);
  if (v.is_array()) {
    const auto& array = v.get_ref<const Json::array_t&>();
    if (Status e = read_fields_array(array, 0, fields, name)) return e;
    if (array.size() > fields.size()) return invalid_length_error(array.size(), kFewerElementsInArray);
    return std::nullopt;
  }
  return invalid_type_error(v, name);
}

// Internally tagged by "kind": the tag is read first, then the variant's fields.
Status read_tagged(const Json& v, std::string_view enum_name, std::span<const Variant> variants,
                   std::span<const std::string_view> tags, std::size_t& chosen) {
  auto read_tag = [&](const Json& tag) -> Status {
    if (!tag.is_string()) return invalid_type_error(tag, kExpectVariantIdentifier);
    const auto& text = tag.get_ref<const Json::string_t&>();
    for (std::size_t i = 0; i < variants.size(); ++i) {
      if (variants[i].tag == text) {
        chosen = i;
        return std::nullopt;
      }
    }
    return unknown_variant_error(text, tags);
  };
  if (v.is_object()) {
    const auto& object = v.get_ref<const Json::object_t&>();
    auto kind = object.find("kind");
    if (kind == object.end()) return missing_field_error("kind");
    if (Status e = read_tag(kind->second)) return e;
    const Variant& variant = variants[chosen];
    if (variant.fields.empty()) return std::nullopt;  // other entries are ignored whatever they hold
    return read_fields_object(object, variant.fields);
  }
  if (v.is_array()) {
    const auto& array = v.get_ref<const Json::array_t&>();
    if (array.empty()) return missing_field_error("kind");
    if (Status e = read_tag(array[0])) return e;
    const Variant& variant = variants[chosen];
    const std::size_t rest = array.size() - 1;
    if (!variant.fields.empty()) {
      if (Status e = read_fields_array(array, 1, variant.fields, variant.name)) return e;
    }
    if (rest > variant.fields.size()) return invalid_length_error(rest, elements_in_sequence(variant.fields.size()));
    return std::nullopt;
  }
  return invalid_type_error(v, enum_name);
}

Status read_string(const Json& v, std::string& out) {
  if (!v.is_string()) return invalid_type_error(v, kExpectString);
  out = v.get_ref<const Json::string_t&>();
  return std::nullopt;
}

Status read_optional_string(const Json& v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return std::nullopt;
  }
  std::string s;
  if (Status e = read_string(v, s)) return e;
  out = std::move(s);
  return std::nullopt;
}

Status read_bool(const Json& v, bool& out) {
  if (!v.is_boolean()) return invalid_type_error(v, kExpectBoolean);
  out = v.get_ref<const Json::boolean_t&>();
  return std::nullopt;
}

template <class T, class ReadElement>
Status read_sequence(const Json& v, std::vector<T>& out, ReadElement read_element) {
  if (!v.is_array()) return invalid_type_error(v, kExpectSequence);
  const auto& array = v.get_ref<const Json::array_t&>();
  out.clear();
  out.reserve(array.size());
  for (const Json& element : array) {
    T item;
    if (Status e = read_element(element, item)) return e;
    out.push_back(std::move(item));
  }
  return std::nullopt;
}

// A JSON-valued field: null is a held value.
Status read_any(const Json& v, Json& out) {
  out = v;
  return std::nullopt;
}

// An optional JSON-valued field: null is absent.
Status read_optional_any(const Json& v, std::optional<Json>& out) {
  if (v.is_null()) out.reset();
  else out = v;
  return std::nullopt;
}

Status read_optional_meta(const Json& v, std::optional<CheckpointMeta>& out) {
  if (v.is_null()) {
    out.reset();
    return std::nullopt;
  }
  if (!v.is_object()) return invalid_type_error(v, kExpectMap);
  out = v.get_ref<const Json::object_t&>();
  return std::nullopt;
}

Status read_value(const Json& v, GraphCheckpointValue& out) {
  Json data;
  const Field data_fields[] = {{"data", true, [&](const Json& j) { return read_any(j, data); }}};
  const Variant variants[] = {{"SENTINEL", "", {}},
                              {"DATA", "struct variant GraphCheckpointValue::Data", data_fields}};
  static constexpr std::string_view tags[] = {"SENTINEL", "DATA"};
  std::size_t chosen = 0;
  if (Status e = read_tagged(v, "internally tagged enum GraphCheckpointValue", variants, tags, chosen)) return e;
  out = chosen == 0 ? GraphCheckpointValue::sentinel() : GraphCheckpointValue::of_data(std::move(data));
  return std::nullopt;
}

Status read_factory(const Json& v, GraphCheckpointFactory& out) {
  std::string ref, name, reason;
  std::optional<Json> config, config_version;
  const Field registry_ref[] = {
      {"ref", true, [&](const Json& j) { return read_string(j, ref); }},
      {"config", false, [&](const Json& j) { return read_optional_any(j, config); }},
      {"configVersion", false, [&](const Json& j) { return read_optional_any(j, config_version); }},
  };
  const Field local_only[] = {
      {"name", true, [&](const Json& j) { return read_string(j, name); }},
      {"reason", true, [&](const Json& j) { return read_string(j, reason); }},
  };
  const Variant variants[] = {
      {"registry-ref", "struct variant GraphCheckpointFactory::RegistryRef", registry_ref},
      {"local-only", "struct variant GraphCheckpointFactory::LocalOnly", local_only},
  };
  static constexpr std::string_view tags[] = {"registry-ref", "local-only"};
  std::size_t chosen = 0;
  if (Status e = read_tagged(v, "internally tagged enum GraphCheckpointFactory", variants, tags, chosen)) return e;
  out = chosen == 0 ? GraphCheckpointFactory::registry_ref(std::move(ref), std::move(config), std::move(config_version))
                    : GraphCheckpointFactory::local_only(std::move(name), std::move(reason));
  return std::nullopt;
}

Status read_terminal(const Json& v, GraphCheckpointTerminal& out) {
  Json error;
  const Field error_fields[] = {{"error", true, [&](const Json& j) { return read_any(j, error); }}};
  const Variant variants[] = {{"none", "", {}},
                              {"COMPLETE", "", {}},
                              {"ERROR", "struct variant GraphCheckpointTerminal::Error", error_fields}};
  static constexpr std::string_view tags[] = {"none", "COMPLETE", "ERROR"};
  std::size_t chosen = 0;
  if (Status e = read_tagged(v, "internally tagged enum GraphCheckpointTerminal", variants, tags, chosen)) return e;
  switch (chosen) {
    case 0: out = GraphCheckpointTerminal::none(); break;
    case 1: out = GraphCheckpointTerminal::complete(); break;
    default: out = GraphCheckpointTerminal::of_error(std::move(error)); break;
  }
  return std::nullopt;
}

Status read_ctx_state(const Json& v, GraphCheckpointCtxState& out) {
  const Field fields[] = {
      {"persist", true, [&](const Json& j) { return read_bool(j, out.persist); }},
      {"value", true, [&](const Json& j) { return read_value(j, out.value); }},
  };
  return read_struct(v, "struct GraphCheckpointCtxState", fields);
}

Status read_lifecycle(const Json& v, GraphCheckpointLifecycle& out) {
  const Field fields[] = {
      {"activated", true, [&](const Json& j) { return read_bool(j, out.activated); }},
      {"hasCalledFnOnce", true, [&](const Json& j) { return read_bool(j, out.has_called_fn_once); }},
  };
  return read_struct(v, "struct GraphCheckpointLifecycle", fields);
}

Status read_edge(const Json& v, GraphCheckpointEdge& out) {
  const Field fields[] = {
      {"from", true, [&](const Json& j) { return read_string(j, out.from); }},
      {"to", true, [&](const Json& j) { return read_string(j, out.to); }},
  };
  return read_struct(v, "struct GraphCheckpointEdge", fields);
}

Status read_node(const Json& v, GraphCheckpointNode& out) {
  const Field fields[] = {
      {"id", true, [&](const Json& j) { return read_string(j, out.id); }},
      {"name", false, [&](const Json& j) { return read_optional_string(j, out.name); }},
      {"factory", true, [&](const Json& j) { return read_factory(j, out.factory); }},
      {"status", true, [&](const Json& j) { return read_string(j, out.status); }},
      {"deps", true, [&](const Json& j) { return read_sequence(j, out.deps, read_string); }},
      {"value", true, [&](const Json& j) { return read_value(j, out.value); }},
      {"backendState", false, [&](const Json& j) { return read_optional_any(j, out.backend_state); }},
      {"version", false, [&](const Json& j) { return read_optional_any(j, out.version); }},
      {"terminal", true, [&](const Json& j) { return read_terminal(j, out.terminal); }},
      {"lifecycle", true, [&](const Json& j) { return read_lifecycle(j, out.lifecycle); }},
      {"ctxState", true, [&](const Json& j) { return read_ctx_state(j, out.ctx_state); }},
      {"meta", false, [&](const Json& j) { return read_optional_meta(j, out.meta); }},
  };
  return read_struct(v, "struct GraphCheckpointNode", fields);
}

Status read_checkpoint(const Json& v, GraphCheckpoint& out);

Status read_mount(const Json& v, GraphCheckpointMount& out) {
  const Field fields[] = {
      {"at", true, [&](const Json& j) { return read_string(j, out.at); }},
      {"checkpoint", true, [&](const Json& j) { return read_checkpoint(j, out.checkpoint); }},
  };
  return read_struct(v, "struct GraphCheckpointMount", fields);
}

Status read_optional_mounts(const Json& v, std::optional<std::vector<GraphCheckpointMount>>& out) {
  if (v.is_null()) {
    out.reset();
    return std::nullopt;
  }
  std::vector<GraphCheckpointMount> mounts;
  if (Status e = read_sequence(v, mounts, read_mount)) return e;
  out = std::move(mounts);
  return std::nullopt;
}

Status read_checkpoint(const Json& v, GraphCheckpoint& out) {
  const Field fields[] = {
      {"version", true, [&](const Json& j) { return read_string(j, out.version); }},
      {"name", false, [&](const Json& j) { return read_optional_string(j, out.name); }},
      {"nodes", true, [&](const Json& j) { return read_sequence(j, out.nodes, read_node); }},
      {"edges", true, [&](const Json& j) { return read_sequence(j, out.edges, read_edge); }},
      {"mounts", false, [&](const Json& j) { return read_optional_mounts(j, out.mounts); }},
  };
  return read_struct(v, "struct GraphCheckpoint", fields);
}

// True when some value lies deeper than `limit` containers; walks iteratively.
bool deeper_than(const Json& root, std::size_t limit) {
  std::vector<std::pair<const Json*, std::size_t>> stack{{&root, 0}};
  while (!stack.empty()) {
    auto [v, depth] = stack.back();
    stack.pop_back();
    if (depth > limit) return true;
    if (v->is_array()) {
      for (const Json& child : v->get_ref<const Json::array_t&>()) stack.emplace_back(&child, depth + 1);
    } else if (v->is_object()) {
      for (const auto& [key, child] : v->get_ref<const Json::object_t&>()) stack.emplace_back(&child, depth + 1);
    }
  }
  return false;
}

}  // namespace

Json serialize_checkpoint_node(const GraphCheckpointNode& node) {
  Json out = Json::object();
  out["id"] = node.id;
  if (node.name) out["name"] = *node.name;
  out["factory"] = write_factory(node.factory);
  out["status"] = node.status;
  out["deps"] = node.deps;
  out["value"] = write_value(node.value);
  if (node.backend_state) out["backendState"] = *node.backend_state;
  if (node.version) out["version"] = *node.version;
  out["terminal"] = write_terminal(node.terminal);
  out["lifecycle"] = Json::object({{"activated", node.lifecycle.activated},
                                   {"hasCalledFnOnce", node.lifecycle.has_called_fn_once}});
  out["ctxState"] = Json::object({{"persist", node.ctx_state.persist}, {"value", write_value(node.ctx_state.value)}});
  if (node.meta) out["meta"] = *node.meta;
  return out;
}

Json serialize_checkpoint(const GraphCheckpoint& checkpoint) {
  Json out = Json::object();
  out["version"] = checkpoint.version;
  if (checkpoint.name) out["name"] = *checkpoint.name;
  Json nodes = Json::array();
  for (const auto& node : checkpoint.nodes) nodes.push_back(serialize_checkpoint_node(node));
  out["nodes"] = std::move(nodes);
  Json edges = Json::array();
  for (const auto& edge : checkpoint.edges) edges.push_back(Json::object({{"from", edge.from}, {"to", edge.to}}));
  out["edges"] = std::move(edges);
  if (checkpoint.mounts) {
    Json mounts = Json::array();
    for (const auto& mount : *checkpoint.mounts)
      mounts.push_back(Json::object({{"at", mount.at}, {"checkpoint", serialize_checkpoint(mount.checkpoint)}}));
    out["mounts"] = std::move(mounts);
  }
  return out;
}

std::expected<GraphCheckpoint, std::string> deserialize_checkpoint(const Json& value) {
  if (deeper_than(value, kCheckpointReadMaxDepth)) return std::unexpected(std::string(kRecursionLimitExceeded));
  GraphCheckpoint out;
  if (Status e = read_checkpoint(value, out)) return std::unexpected(std::move(*e));
  return out;
}

}  // namespace korvalinth
