#pragma once
// The checkpoint reader over any JSON-shaped document: the JSON tree here,
// Python objects in the bindings (read in place, without a tree between).
// A document value is seen through a small view type V offering:
//
//   bool is_object(), is_array(), is_string(), is_boolean(), is_null()
//   std::string_view string()           a string's UTF-8 text
//   bool boolean()
//   std::size_t size(); V at(i)          an array's elements
//   std::optional<V> find(key)          an object's member
//   Status each_entry(f)                an object's members in ascending
//                                       byte order of their keys, f(key, V)
//                                       returning Status; stops at an error
//   Json json()                         the value as a JSON value
//   std::string unexpected()            describe_unexpected of the value
//
// The first structural error in reading order is the result. The caller
// bounds the document's depth (reading recurses into mounts).

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "checkpoint/checkpoint_read_errors.hpp"
#include "checkpoint/checkpoint_records.hpp"

namespace korvalinth::checkpoint_reader {

// An error text, or none.
using Status = std::optional<std::string>;

template <class V>
struct Field {
  std::string_view key;
  bool required;
  std::function<Status(V)> read;
};

template <class V>
struct Variant {
  std::string_view tag;
  std::string_view name;  // "struct variant E::V"; empty for variants without fields
  std::span<const Field<V>> fields;
};

template <class V>
Status invalid_type(V v, std::string_view expected) {
  return "invalid type: " + v.unexpected() + ", expected " + std::string(expected);
}

// Object form: entries in key order, unknown keys skipped unread, then the
// first required field (in declaration order) that was not seen.
template <class V>
Status read_fields_object(V object, std::span<const Field<V>> fields) {
  bool seen[16] = {};  // no record has more fields
  if (Status e = object.each_entry([&](std::string_view key, V value) -> Status {
        for (std::size_t i = 0; i < fields.size(); ++i) {
          if (fields[i].key != key) continue;
          if (Status e = fields[i].read(value)) return e;
          seen[i] = true;
          break;
        }
        return std::nullopt;
      })) {
    return e;
  }
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (fields[i].required && !seen[i]) return missing_field_error(fields[i].key);
  return std::nullopt;
}

// Array form from `offset`: every field in its position, optional ones included.
template <class V>
Status read_fields_array(V array, std::size_t offset, std::span<const Field<V>> fields, std::string_view name) {
  const std::size_t given = array.size() - offset;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i >= given) return invalid_length_error(given, struct_with_elements(name, fields.size()));
    if (Status e = fields[i].read(array.at(offset + i))) return e;
  }
  return std::nullopt;
}

template <class V>
Status read_struct(V v, std::string_view name, std::span<const Field<V>> fields) {
  if (v.is_object()) return read_fields_object(v, fields);
  if (v.is_array()) {
    if (Status e = read_fields_array(v, 0, fields, name)) return e;
    if (v.size() > fields.size()) return invalid_length_error(v.size(), kFewerElementsInArray);
    return std::nullopt;
  }
  return invalid_type(v, name);
}

// Internally tagged by "kind": the tag is read first, then the variant's fields.
template <class V>
Status read_tagged(V v, std::string_view enum_name, std::span<const Variant<V>> variants,
                   std::span<const std::string_view> tags, std::size_t& chosen) {
  auto read_tag = [&](V tag) -> Status {
    if (!tag.is_string()) return invalid_type(tag, kExpectVariantIdentifier);
    const std::string_view text = tag.string();
    for (std::size_t i = 0; i < variants.size(); ++i) {
      if (variants[i].tag == text) {
        chosen = i;
        return std::nullopt;
      }
    }
    return unknown_variant_error(text, tags);
  };
  if (v.is_object()) {
    std::optional<V> kind = v.find("kind");
    if (!kind) return missing_field_error("kind");
    if (Status e = read_tag(*kind)) return e;
    const Variant<V>& variant = variants[chosen];
    if (variant.fields.empty()) return std::nullopt;  // other entries are ignored whatever they hold
    return read_fields_object(v, variant.fields);
  }
  if (v.is_array()) {
    if (v.size() == 0) return missing_field_error("kind");
    if (Status e = read_tag(v.at(0))) return e;
    const Variant<V>& variant = variants[chosen];
    const std::size_t rest = v.size() - 1;
    if (!variant.fields.empty()) {
      if (Status e = read_fields_array(v, 1, variant.fields, variant.name)) return e;
    }
    if (rest > variant.fields.size()) return invalid_length_error(rest, elements_in_sequence(variant.fields.size()));
    return std::nullopt;
  }
  return invalid_type(v, enum_name);
}

template <class V>
Status read_string(V v, std::string& out) {
  if (!v.is_string()) return invalid_type(v, kExpectString);
  out = v.string();
  return std::nullopt;
}

template <class V>
Status read_optional_string(V v, std::optional<std::string>& out) {
  if (v.is_null()) {
    out.reset();
    return std::nullopt;
  }
  std::string s;
  if (Status e = read_string(v, s)) return e;
  out = std::move(s);
  return std::nullopt;
}

template <class V>
Status read_bool(V v, bool& out) {
  if (!v.is_boolean()) return invalid_type(v, kExpectBoolean);
  out = v.boolean();
  return std::nullopt;
}

template <class T, class V, class ReadElement>
Status read_sequence(V v, std::vector<T>& out, ReadElement read_element) {
  if (!v.is_array()) return invalid_type(v, kExpectSequence);
  const std::size_t n = v.size();
  out.clear();
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    T item;
    if (Status e = read_element(v.at(i), item)) return e;
    out.push_back(std::move(item));
  }
  return std::nullopt;
}

// A JSON-valued field: null is a held value.
template <class V>
Status read_any(V v, Json& out) {
  out = v.json();
  return std::nullopt;
}

// An optional JSON-valued field: null is absent.
template <class V>
Status read_optional_any(V v, std::optional<Json>& out) {
  if (v.is_null()) out.reset();
  else out = v.json();
  return std::nullopt;
}

template <class V>
Status read_optional_meta(V v, std::optional<CheckpointMeta>& out) {
  if (v.is_null()) {
    out.reset();
    return std::nullopt;
  }
  if (!v.is_object()) return invalid_type(v, kExpectMap);
  out = std::move(v.json().template get_ref<Json::object_t&>());
  return std::nullopt;
}

template <class V>
Status read_value(V v, GraphCheckpointValue& out) {
  Json data;
  const Field<V> data_fields[] = {{"data", true, [&](V j) { return read_any(j, data); }}};
  const Variant<V> variants[] = {{"SENTINEL", "", {}},
                                 {"DATA", "struct variant GraphCheckpointValue::Data", data_fields}};
  static constexpr std::string_view tags[] = {"SENTINEL", "DATA"};
  std::size_t chosen = 0;
  if (Status e = read_tagged<V>(v, "internally tagged enum GraphCheckpointValue", variants, tags, chosen)) return e;
  out = chosen == 0 ? GraphCheckpointValue::sentinel() : GraphCheckpointValue::of_data(std::move(data));
  return std::nullopt;
}

template <class V>
Status read_factory(V v, GraphCheckpointFactory& out) {
  std::string ref, name, reason;
  std::optional<Json> config, config_version;
  const Field<V> registry_ref[] = {
      {"ref", true, [&](V j) { return read_string(j, ref); }},
      {"config", false, [&](V j) { return read_optional_any(j, config); }},
      {"configVersion", false, [&](V j) { return read_optional_any(j, config_version); }},
  };
  const Field<V> local_only[] = {
      {"name", true, [&](V j) { return read_string(j, name); }},
      {"reason", true, [&](V j) { return read_string(j, reason); }},
  };
  const Variant<V> variants[] = {
      {"registry-ref", "struct variant GraphCheckpointFactory::RegistryRef", registry_ref},
      {"local-only", "struct variant GraphCheckpointFactory::LocalOnly", local_only},
  };
  static constexpr std::string_view tags[] = {"registry-ref", "local-only"};
  std::size_t chosen = 0;
  if (Status e = read_tagged<V>(v, "internally tagged enum GraphCheckpointFactory", variants, tags, chosen)) return e;
  out = chosen == 0 ? GraphCheckpointFactory::registry_ref(std::move(ref), std::move(config), std::move(config_version))
                    : GraphCheckpointFactory::local_only(std::move(name), std::move(reason));
  return std::nullopt;
}

template <class V>
Status read_terminal(V v, GraphCheckpointTerminal& out) {
  Json error;
  const Field<V> error_fields[] = {{"error", true, [&](V j) { return read_any(j, error); }}};
  const Variant<V> variants[] = {{"none", "", {}},
                                 {"COMPLETE", "", {}},
                                 {"ERROR", "struct variant GraphCheckpointTerminal::Error", error_fields}};
  static constexpr std::string_view tags[] = {"none", "COMPLETE", "ERROR"};
  std::size_t chosen = 0;
  if (Status e = read_tagged<V>(v, "internally tagged enum GraphCheckpointTerminal", variants, tags, chosen)) return e;
  switch (chosen) {
    case 0: out = GraphCheckpointTerminal::none(); break;
    case 1: out = GraphCheckpointTerminal::complete(); break;
    default: out = GraphCheckpointTerminal::of_error(std::move(error)); break;
  }
  return std::nullopt;
}

template <class V>
Status read_ctx_state(V v, GraphCheckpointCtxState& out) {
  const Field<V> fields[] = {
      {"persist", true, [&](V j) { return read_bool(j, out.persist); }},
      {"value", true, [&](V j) { return read_value(j, out.value); }},
  };
  return read_struct<V>(v, "struct GraphCheckpointCtxState", fields);
}

template <class V>
Status read_lifecycle(V v, GraphCheckpointLifecycle& out) {
  const Field<V> fields[] = {
      {"activated", true, [&](V j) { return read_bool(j, out.activated); }},
      {"hasCalledFnOnce", true, [&](V j) { return read_bool(j, out.has_called_fn_once); }},
  };
  return read_struct<V>(v, "struct GraphCheckpointLifecycle", fields);
}

template <class V>
Status read_edge(V v, GraphCheckpointEdge& out) {
  const Field<V> fields[] = {
      {"from", true, [&](V j) { return read_string(j, out.from); }},
      {"to", true, [&](V j) { return read_string(j, out.to); }},
  };
  return read_struct<V>(v, "struct GraphCheckpointEdge", fields);
}

template <class V>
Status read_node(V v, GraphCheckpointNode& out) {
  const Field<V> fields[] = {
      {"id", true, [&](V j) { return read_string(j, out.id); }},
      {"name", false, [&](V j) { return read_optional_string(j, out.name); }},
      {"factory", true, [&](V j) { return read_factory(j, out.factory); }},
      {"status", true, [&](V j) { return read_string(j, out.status); }},
      {"deps", true, [&](V j) { return read_sequence(j, out.deps, read_string<V>); }},
      {"value", true, [&](V j) { return read_value(j, out.value); }},
      {"backendState", false, [&](V j) { return read_optional_any(j, out.backend_state); }},
      {"version", false, [&](V j) { return read_optional_any(j, out.version); }},
      {"terminal", true, [&](V j) { return read_terminal(j, out.terminal); }},
      {"lifecycle", true, [&](V j) { return read_lifecycle(j, out.lifecycle); }},
      {"ctxState", true, [&](V j) { return read_ctx_state(j, out.ctx_state); }},
      {"meta", false, [&](V j) { return read_optional_meta(j, out.meta); }},
  };
  return read_struct<V>(v, "struct GraphCheckpointNode", fields);
}

template <class V>
Status read_checkpoint(V v, GraphCheckpoint& out);

template <class V>
Status read_mount(V v, GraphCheckpointMount& out) {
  const Field<V> fields[] = {
      {"at", true, [&](V j) { return read_string(j, out.at); }},
      {"checkpoint", true, [&](V j) { return read_checkpoint(j, out.checkpoint); }},
  };
  return read_struct<V>(v, "struct GraphCheckpointMount", fields);
}

template <class V>
Status read_optional_mounts(V v, std::optional<std::vector<GraphCheckpointMount>>& out) {
  if (v.is_null()) {
    out.reset();
    return std::nullopt;
  }
  std::vector<GraphCheckpointMount> mounts;
  if (Status e = read_sequence(v, mounts, read_mount<V>)) return e;
  out = std::move(mounts);
  return std::nullopt;
}

template <class V>
Status read_checkpoint(V v, GraphCheckpoint& out) {
  const Field<V> fields[] = {
      {"version", true, [&](V j) { return read_string(j, out.version); }},
      {"name", false, [&](V j) { return read_optional_string(j, out.name); }},
      {"nodes", true, [&](V j) { return read_sequence(j, out.nodes, read_node<V>); }},
      {"edges", true, [&](V j) { return read_sequence(j, out.edges, read_edge<V>); }},
      {"mounts", false, [&](V j) { return read_optional_mounts(j, out.mounts); }},
  };
  return read_struct<V>(v, "struct GraphCheckpoint", fields);
}

// The whole document as a checkpoint; nothing partial is kept.
template <class V>
std::expected<GraphCheckpoint, std::string> read_document(V root) {
  GraphCheckpoint out;
  if (Status e = read_checkpoint(root, out)) return std::unexpected(std::move(*e));
  return out;
}

}  // namespace korvalinth::checkpoint_reader
