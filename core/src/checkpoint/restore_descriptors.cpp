#include "checkpoint/restore_descriptors.hpp"

#include <vector>

#include "checkpoint/restore_texts.hpp"
#include "json/json_value.hpp"
#include "node/wave/down.hpp"

namespace korvalinth {

std::expected<std::pair<std::string, std::string>, std::string> meta_field_as_string(std::string_view id,
                                                                                   const std::string& key,
                                                                                   const Json& value) {
  if (!value.is_string()) return std::unexpected(fill_text(kMetaFieldNotString, {id, key}));
  return std::make_pair(key, value.get<std::string>());
}

std::expected<NodeOptions, std::string> restore_node_options(const GraphCheckpointNode& node) {
  NodeOptions options;
  if (node.meta) {
    // The meta object iterates in ascending byte order of its keys.
    for (const auto& [key, value] : *node.meta) {
      auto field = meta_field_as_string(node.id, key, value);
      if (!field) return std::unexpected(std::move(field.error()));
      options.metadata.emplace(std::move(field->first), std::move(field->second));
    }
  }
  if (node.factory.kind == GraphCheckpointFactory::Kind::RegistryRef)
    options.restore = RegistryRef{node.factory.ref, node.factory.config, node.factory.config_version};
  options.name = node.name;
  return options;
}

NodeHandle restore_state_node(GraphContainer& graph, std::string id, NodeOptions options) {
  CoreRef core = graph.core();
  NodeSpec spec = graph.merge_option_value(options);
  NodeHandle node = construct_node(core, {}, std::nullopt, graph.dispatcher(), nullptr, std::move(spec));
  return graph.register_node_with_id(std::move(node), "state", std::move(id), std::move(options));
}

RestoreOutcome BuiltinStateDescriptor::create(const RestoreCreateRequest& request) {
  if (!request.deps.empty()) return RestoreFailure{fill_text(kStateDeps, {request.id})};
  if (request.config) return RestoreFailure{std::string(kStateConfig)};
  if (request.config_version) return RestoreFailure{std::string(kStateConfigVersion)};
  auto options = restore_node_options(request.node);
  if (!options) return RestoreFailure{std::move(options.error())};
  return StateNodeRequest{std::move(*options), "state"};
}

RestoreOutcome BuiltinMapDescriptor::create(const RestoreCreateRequest& request) {
  if (request.deps.size() != 1) return RestoreFailure{fill_text(kMapOneDep, {request.id})};
  if (!request.config || !request.config->is_object()) return RestoreFailure{std::string(kMapObjectConfig)};
  if (request.config_version) return RestoreFailure{std::string(kMapConfigVersion)};
  const auto& config = request.config->get_ref<const Json::object_t&>();
  auto fn_member = config.find("fn");
  if (fn_member == config.end() || !fn_member->second.is_string()) return RestoreFailure{std::string(kMapFnRef)};
  const std::string& fn_ref = fn_member->second.get_ref<const std::string&>();
  auto entry = request.registry.find(fn_ref);
  const FunctionDefinition* definition =
      entry == request.registry.end() ? nullptr : std::get_if<FunctionDefinition>(&entry->second);
  if (!definition) return RestoreFailure{fill_text(kMissingFunctionDefinition, {fn_ref, request.id})};
  SharedNodeFn fn = std::make_shared<BuiltinMapNodeFn>(*definition);
  auto options = restore_node_options(request.node);
  if (!options) return RestoreFailure{std::move(options.error())};
  return ComputedNodeRequest{std::move(fn), std::move(*options), "map"};
}

void BuiltinMapNodeFn::run(RunContext& ctx) {
  if (ctx.inputs.empty()) return;
  // Every JSON value of the wave is collected before the first call.
  std::vector<SharedValue> kept;
  for (const DeliveryView batch : ctx.inputs[0].deliveries())
    for (const SharedValue& v : batch)
      if (is_json_value(v)) kept.push_back(v);
  for (const SharedValue& v : kept) {
    auto result = (*definition_.function)(*json_value_cast(v));
    if (!result) fault(std::move(result.error()));
    down(ctx.node, Message::data(make_json_value(std::move(*result))));
  }
}

}  // namespace korvalinth
