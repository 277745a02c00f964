#include <gtest/gtest.h>

#include <thread>

#include "checkpoint/backend_state_registry.hpp"

using namespace korvalinth;

namespace {

BackendStateProvider provider_of(Json value) {
  return std::make_shared<const BackendStateProviderFn>(
      [value = std::move(value)](std::string_view) -> std::expected<Json, std::string> { return value; });
}

}  // namespace

TEST(BackendStateRegistry, KeyedByCoreSlotAndGeneration) {
  EXPECT_EQ(backend_state_registry_lookup(901, 3, 0), nullptr);
  backend_state_registry_insert(901, 3, 0, provider_of(Json(nullptr)));
  auto p = backend_state_registry_lookup(901, 3, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*(*p)("n.backendState"), Json(nullptr));
  // A reused slot index with a new generation, or another core, is another node.
  EXPECT_EQ(backend_state_registry_lookup(901, 3, 1), nullptr);
  EXPECT_EQ(backend_state_registry_lookup(902, 3, 0), nullptr);

  // Insertion replaces; removal drops the registry's reference only.
  backend_state_registry_insert(901, 3, 0, provider_of(Json(2)));
  EXPECT_EQ(*(*backend_state_registry_lookup(901, 3, 0))("p"), Json(2));
  std::weak_ptr<const BackendStateProviderFn> weak = backend_state_registry_lookup(901, 3, 0);
  backend_state_registry_remove(901, 3, 0);
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(backend_state_registry_lookup(901, 3, 0), nullptr);
  // Removing an absent entry changes nothing.
  backend_state_registry_remove(901, 3, 0);
  backend_state_registry_remove(5, 5, 5);
  EXPECT_EQ(*(*p)("still callable"), Json(nullptr));
}

TEST(BackendStateRegistry, ProviderMayUseTheRegistryAfterLookup) {
  auto reentrant = std::make_shared<const BackendStateProviderFn>(
      [](std::string_view path) -> std::expected<Json, std::string> {
        backend_state_registry_remove(77, 0, 0);
        if (backend_state_registry_lookup(77, 0, 0)) return std::unexpected(std::string("still there"));
        return Json(std::string(path));
      });
  backend_state_registry_insert(77, 0, 0, reentrant);
  auto p = backend_state_registry_lookup(77, 0, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(*(*p)("x.backendState"), Json("x.backendState"));
}

TEST(BackendStateRegistry, IsPerThread) {
  backend_state_registry_insert(31, 1, 1, provider_of(Json(1)));
  bool seen_elsewhere = true;
  std::thread([&] { seen_elsewhere = backend_state_registry_lookup(31, 1, 1) != nullptr; }).join();
  EXPECT_FALSE(seen_elsewhere);
  EXPECT_NE(backend_state_registry_lookup(31, 1, 1), nullptr);
  backend_state_registry_remove(31, 1, 1);
}
