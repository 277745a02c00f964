#include "checkpoint/restore_registry.hpp"

#include "checkpoint/restore_descriptors.hpp"

namespace korvalinth {

void add_builtin_restore_descriptors(RestoreRegistry& registry) {
  add_restore_descriptor(registry, "state", std::make_shared<BuiltinStateDescriptor>());
  add_restore_descriptor(registry, "map", std::make_shared<BuiltinMapDescriptor>());
}

void add_restore_descriptor(RestoreRegistry& registry, std::string ref, SharedRestoreDescriptor descriptor) {
  registry.insert_or_assign(std::move(ref), RegistryEntry(std::move(descriptor)));
}

void add_function_definition(RestoreRegistry& registry, std::string name, FunctionDefinitionFn function) {
  FunctionDefinition definition{name, std::make_shared<const FunctionDefinitionFn>(std::move(function))};
  registry.insert_or_assign(std::move(name), RegistryEntry(std::move(definition)));
}

}  // namespace korvalinth
