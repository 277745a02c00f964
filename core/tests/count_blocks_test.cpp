#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "node/arena/count_blocks.hpp"
#include "node/arena/node_handle.hpp"

using namespace korvalinth;

namespace {

// A count record the way construction makes it.
SharedCount new_record() { return SharedCount::make(); }

}  // namespace

// Records made across several chunks, some dropped and made again, each
// written with its own number: none overlaps another, and a record whose
// last strong reference went stays its own while a weak one remains.
TEST(CountBlocks, LiveRecordsNeverOverlapAcrossChunksReuseAndWeakReferences) {
  std::vector<SharedCount> live;
  for (std::uint64_t i = 0; i < 2000; ++i) {
    live.push_back(new_record());
    live.back()->count = i;
  }
  std::vector<WeakCount> weak;
  for (std::size_t i = 0; i < live.size(); i += 3) {
    weak.emplace_back(live[i]);
    live[i]->count = 0;  // as a released node's record reads
    live[i].reset();
  }
  for (std::size_t i = 0; i < live.size(); i += 3) {
    live[i] = new_record();
    live[i]->count = i;
  }
  for (std::size_t i = 0; i < live.size(); ++i) EXPECT_EQ(live[i]->count, i);
  for (const WeakCount& w : weak) EXPECT_TRUE(w.expired());
  std::set<const void*> at;
  for (const SharedCount& r : live) at.insert(r.get());
  EXPECT_EQ(at.size(), live.size());
}

// A record dropped on another thread than the one that made it goes to the
// dropping thread's list; when that thread ends, its blocks are handed on
// and taken again here before any new chunk is cut.
TEST(CountBlocks, AnEndedThreadsBlocksAreTakenAgain) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "records are plain heap blocks under AddressSanitizer";
#else
  constexpr std::size_t n = 500;
  std::vector<SharedCount> made;
  for (std::size_t i = 0; i < n; ++i) made.push_back(new_record());
  std::set<const void*> given;
  for (const SharedCount& r : made) given.insert(r.get());
  std::thread([&] { made.clear(); }).join();
  // This thread's own list and chunk serve first; then come the blocks
  // handed on.
  std::vector<SharedCount> again;
  std::size_t reused = 0;
  for (std::size_t i = 0; i < 100000 && reused < n; ++i) {
    again.push_back(new_record());
    reused += given.count(again.back().get());
  }
  EXPECT_EQ(reused, n);
#endif
}

// Records made on one thread and dropped on another, round after round: the
// dropping thread's surplus goes back to the making one, so the chunks cut
// stop growing after the first rounds, for one pair of threads and for
// several pairs at once.
TEST(CountBlocks, RecordsMadeOnOneThreadAndDroppedOnAnotherKeepMemoryBounded) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "records are plain heap blocks under AddressSanitizer";
#else
  constexpr std::size_t n = 20000;
  constexpr int rounds = 12;
  constexpr std::size_t per_chunk = 4096 / CountBlocks::kBytes;
  for (int pairs : {1, 3}) {
    SCOPED_TRACE(pairs);
    std::vector<std::size_t> cut_after(rounds);
    std::vector<std::vector<SharedCount>> made(pairs);
    std::barrier sync(2 * pairs + 1);
    std::vector<std::thread> threads;
    for (int p = 0; p < pairs; ++p) {
      threads.emplace_back([&, p] {  // producer
        for (int r = 0; r < rounds; ++r) {
          for (std::size_t i = 0; i < n; ++i) made[p].push_back(new_record());
          sync.arrive_and_wait();  // made
          sync.arrive_and_wait();  // dropped
        }
      });
      threads.emplace_back([&, p] {  // consumer
        for (int r = 0; r < rounds; ++r) {
          sync.arrive_and_wait();
          made[p].clear();
          sync.arrive_and_wait();
        }
      });
    }
    for (int r = 0; r < rounds; ++r) {
      sync.arrive_and_wait();
      sync.arrive_and_wait();
      cut_after[r] = CountBlocks::chunks_cut();
    }
    for (std::thread& t : threads) t.join();
    EXPECT_LT(cut_after[rounds - 1] - cut_after[1], n * pairs / per_chunk / 4);
  }
#endif
}

// A record dropped by a thread-local destroyed after its thread handed its
// blocks on is taken again, as are the blocks of that thread's chunk it
// never cut.
TEST(CountBlocks, ABlockFreedAfterItsThreadHandedOnIsTakenAgain) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "records are plain heap blocks under AddressSanitizer";
#else
  const void* late = nullptr;
  std::thread([&] {
    // Made before the first record, so destroyed after the hand-on.
    thread_local std::optional<SharedCount> kept;
    kept.emplace();
    *kept = new_record();
    late = kept->get();
  }).join();
  const std::size_t cut_before = CountBlocks::chunks_cut();
  std::vector<SharedCount> again;
  bool found = false;
  for (std::size_t i = 0; i < 100000 && !found; ++i) {
    again.push_back(new_record());
    found = again.back().get() == late;
  }
  EXPECT_TRUE(found);
  // The late block and the ended thread's uncut blocks serve before any new chunk.
  EXPECT_EQ(CountBlocks::chunks_cut(), cut_before);
#endif
}

// A fork made while another thread holds the store's lock (here reading the
// chunk count over and over) leaves the child able to take blocks past its
// own list, many forks over.
TEST(CountBlocks, AChildForkedWhileAnotherThreadHoldsTheLockTakesBlocks) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "records are plain heap blocks under AddressSanitizer";
#else
  std::atomic<bool> stop = false;
  std::thread holder([&] {
    while (!stop.load(std::memory_order_relaxed)) (void)CountBlocks::chunks_cut();
  });
  int stuck = 0;
  for (int i = 0; i < 100; ++i) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(5);
      std::vector<SharedCount> records;
      for (int r = 0; r < 2000; ++r) records.push_back(new_record());
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    stuck += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (stuck) break;
  }
  stop = true;
  holder.join();
  EXPECT_EQ(stuck, 0);
#endif
}
