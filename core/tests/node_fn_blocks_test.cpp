#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include "node/arena/count_blocks.hpp"
#include "node/arena/node_fn.hpp"

using namespace korvalinth;

namespace {

// A function of Words words besides its table (a binding's keeps a callback
// and its slot); each keeps its own number.
template <std::size_t Words>
class NumberedFn final : public NodeFn {
 public:
  explicit NumberedFn(std::uint64_t n) { words_[0] = n; }
  void run(RunContext&) override {}
  std::uint64_t number() const { return words_[0]; }

 private:
  std::uint64_t words_[Words] = {};
};
using BindingSizedFn = NumberedFn<2>;
using LargerFn = NumberedFn<8>;

class alignas(64) OverAlignedFn final : public NodeFn {
 public:
  explicit OverAlignedFn(std::uint64_t n) : number_(n) {}
  void run(RunContext&) override {}
  std::uint64_t number() const { return number_; }

 private:
  std::uint64_t number_;
};

}  // namespace

// A function of the bindings' size takes a block: made one after another,
// they cut a chunk once the blocks freed earlier in the process are used up.
// A larger one goes to the heap and cuts none; an over-aligned one gets its
// alignment there.
TEST(NodeFnBlocks, ABindingSizedFunctionTakesABlockOthersTheHeap) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "blocks are plain heap blocks under AddressSanitizer";
#else
  // Enough to use up every block this process's other tests could have freed.
  constexpr std::size_t kAtMost = 1 << 16;
  struct Case {
    const char* name;
    std::shared_ptr<NodeFn> (*make)(std::uint64_t);
    bool cuts;
  };
  const Case cases[] = {
      {"binding sized", [](std::uint64_t i) -> std::shared_ptr<NodeFn> { return make_node_fn<BindingSizedFn>(i); },
       true},
      {"larger", [](std::uint64_t i) -> std::shared_ptr<NodeFn> { return make_node_fn<LargerFn>(i); }, false},
      {"over-aligned", [](std::uint64_t i) -> std::shared_ptr<NodeFn> { return make_node_fn<OverAlignedFn>(i); },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::shared_ptr<NodeFn>> made;
    const std::size_t cut_before = NodeFnBlocks::chunks_cut();
    while (made.size() < kAtMost && NodeFnBlocks::chunks_cut() == cut_before) made.push_back(c.make(made.size()));
    EXPECT_EQ(NodeFnBlocks::chunks_cut() > cut_before, c.cuts);
  }
  std::vector<std::shared_ptr<OverAlignedFn>> aligned;
  for (std::uint64_t i = 0; i < 64; ++i) {
    aligned.push_back(make_node_fn<OverAlignedFn>(i));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(aligned.back().get()) % alignof(OverAlignedFn), 0u);
    EXPECT_EQ(aligned.back()->number(), i);
  }
#endif
}

// Functions and count records made in turn, some dropped (here and on
// another thread) and made again: each keeps its number, and no two live
// ones share memory, whatever their size.
TEST(NodeFnBlocks, FunctionsAndCountRecordsNeverOverlap) {
  std::vector<std::shared_ptr<BindingSizedFn>> fns;
  std::vector<SharedCount> counts;
  for (std::uint64_t i = 0; i < 3000; ++i) {
    fns.push_back(make_node_fn<BindingSizedFn>(i));
    counts.push_back(SharedCount::make());
    counts.back()->count = i;
  }
  std::vector<std::shared_ptr<BindingSizedFn>> dropped_elsewhere;
  for (std::size_t i = 0; i < fns.size(); i += 3) dropped_elsewhere.push_back(std::move(fns[i]));
  std::thread([&] { dropped_elsewhere.clear(); }).join();
  for (std::size_t i = 1; i < fns.size(); i += 3) fns[i].reset();
  for (std::size_t i = 0; i < fns.size(); ++i) {
    if (!fns[i]) fns[i] = make_node_fn<BindingSizedFn>(i);
  }
  std::map<std::uintptr_t, std::size_t> at;  // first byte -> size
  for (std::size_t i = 0; i < fns.size(); ++i) {
    EXPECT_EQ(fns[i]->number(), i);
    EXPECT_EQ(counts[i]->count, i);
    at.emplace(reinterpret_cast<std::uintptr_t>(fns[i].get()), sizeof(BindingSizedFn));
    at.emplace(reinterpret_cast<std::uintptr_t>(counts[i].get()), sizeof(ExternalCount));
  }
  ASSERT_EQ(at.size(), fns.size() + counts.size());
  for (auto it = at.begin(), next = std::next(it); next != at.end(); ++it, ++next)
    EXPECT_LE(it->first + it->second, next->first);
}
