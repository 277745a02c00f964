// A run check queued first in a wave, for a node the wave touched, that the
// wave's end could not move into the queue's vector: it waits in its slot
// past the wave, and the drain that finds it there looks at its node again
// (the wave that touched it is gone).

#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "failing_allocation.hpp"
#include "node/wave/pending.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

enum class After { Kept, Released, DrainedInNextWave };

struct KeptLoneCase {
  const char* name;
  After after;
  int runs;  // of the node, by the drain after the wave
};

class KeptLoneItem : public ::testing::TestWithParam<KeptLoneCase> {};

TEST_P(KeptLoneItem, IsCheckedAgainWhenDrained) {
  const KeptLoneCase& c = GetParam();
  // A thread of its own: its pending queue has no buffer yet.
  std::thread([&] {
    auto core = GraphCore::create();
    // The thread's per-thread blocks are made on first use, where a failed
    // allocation ends the process: a lone set makes them first.
    NodeHandle lone = make_state(core, iv(0));
    node_set(lone, iv(1));
    NodeHandle src = make_state(core, iv(1));
    int runs = 0;
    NodeHandle n = make_map(core, src, [](int x) { return x + 1; }, &runs);
    std::optional<Subscribed> sub = subscribe_recording(n);
    ASSERT_EQ(pending_state().queue.capacity(), 0u);
    runs = 0;
    {
      std::optional<FailingAllocation> fail;
      run_in_owned_wave_scope(src, [&] {
        // As a dep sink's DATA queues it: touched, marked, then pushed.
        touch_in_current_frame(n);
        core->unguarded().edge_at(n.index()).run_check_epoch = queue_epoch();
        push_run_check_marked(WeakCore(n.core()), n.count(), n.key(), n.core_id(), true);
        fail.emplace(1);  // the wave's end finds no room in the vector
      });
      ASSERT_TRUE(fail->failed());
    }
    ASSERT_TRUE(pending_state().lone.waiting());
    if (c.after == After::Released) {
      sub->unsubscribe.call();
      sub.reset();
      n.drop();
    }
    if (c.after == After::DrainedInNextWave) {
      run_in_owned_wave_scope(lone, [] { drain_pending(); });
    } else {
      drain_pending();
    }
    EXPECT_FALSE(pending_state().lone.waiting());
    EXPECT_EQ(runs, c.runs) << c.name;
    if (!n.empty()) EXPECT_EQ(pin_count(n), 0u) << c.name;
  }).join();
}

INSTANTIATE_TEST_SUITE_P(Cases, KeptLoneItem,
                         ::testing::Values(KeptLoneCase{"kept", After::Kept, 1},
                                           KeptLoneCase{"released", After::Released, 0},
                                           KeptLoneCase{"drained_in_next_wave", After::DrainedInNextWave, 1}),
                         [](const ::testing::TestParamInfo<KeptLoneCase>& info) { return info.param.name; });

}  // namespace
