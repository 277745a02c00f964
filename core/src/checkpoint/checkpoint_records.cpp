#include "checkpoint/checkpoint_records.hpp"

#include "checkpoint/checkpoint_reader.hpp"

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

// The reader's view of a JSON tree.
class JsonView {
 public:
  explicit JsonView(const Json& v) noexcept : v_(&v) {}
  bool is_object() const noexcept { return v_->is_object(); }
  bool is_array() const noexcept { return v_->is_array(); }
  bool is_string() const noexcept { return v_->is_string(); }
  bool is_boolean() const noexcept { return v_->is_boolean(); }
  bool is_null() const noexcept { return v_->is_null(); }
  std::string_view string() const { return v_->get_ref<const Json::string_t&>(); }
  bool boolean() const { return v_->get_ref<const Json::boolean_t&>(); }
  std::size_t size() const { return v_->get_ref<const Json::array_t&>().size(); }
  JsonView at(std::size_t i) const { return JsonView(v_->get_ref<const Json::array_t&>()[i]); }
  std::optional<JsonView> find(std::string_view key) const {
    const auto& object = v_->get_ref<const Json::object_t&>();
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    return JsonView(it->second);
  }
  template <class F>
  checkpoint_reader::Status each_entry(F&& f) const {
    for (const auto& [key, value] : v_->get_ref<const Json::object_t&>())
      if (checkpoint_reader::Status e = f(std::string_view(key), JsonView(value))) return e;
    return std::nullopt;
  }
  Json json() const { return *v_; }
  std::string unexpected() const { return describe_unexpected(*v_); }

 private:
  const Json* v_;
};

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
  return checkpoint_reader::read_document(JsonView(value));
}

}  // namespace korvalinth
