// The owning operation's core as the hot paths read it from the installed
// wave: lent only for that core's id, and only while its wave is installed.

#include <gtest/gtest.h>

#include <utility>

#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

TEST(WaveOwner, TheOwnersReferenceIsLentForItsCoreOnlyWhileItsWaveIsInstalled) {
  auto owner_core = GraphCore::create();
  auto other_core = GraphCore::create();
  NodeHandle owner = make_state(owner_core, iv(1));
  // lender: the core whose reference each id is lent (null: none).
  const auto expect_lent = [&](const char* when, GraphCore* lender) {
    const std::pair<CoreId, GraphCore*> asks[] = {
        {owner_core->id(), lender}, {other_core->id(), nullptr}, {CoreId{0}, nullptr}};
    for (const auto& [id, expected] : asks) {
      const CoreRef* lent = installed_owner_ref(id);
      EXPECT_EQ(lent ? lent->get() : nullptr, expected) << when << ", core " << id;
    }
  };
  expect_lent("before any wave", nullptr);
  run_in_owned_wave_scope(owner, [&] { expect_lent("in the owner's wave", owner_core.get()); });
  expect_lent("after the owner's wave", nullptr);
  // Another core's wave lends that core only: the first wave's end cleared
  // its reference with its id.
  NodeHandle other = make_state(other_core, iv(2));
  run_in_owned_wave_scope(other, [&] {
    EXPECT_EQ(installed_owner_ref(other_core->id())->get(), other_core.get());
    EXPECT_EQ(installed_owner_ref(owner_core->id()), nullptr);
  });
  expect_lent("after the other core's wave", nullptr);
}
