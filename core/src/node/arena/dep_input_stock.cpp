#include <array>

#include "base/thread_block.hpp"
#include "node/arena/node_fn.hpp"

namespace korvalinth {

namespace {

// Emptied input blocks kept for the thread's next wide runs. Bounded in
// count (runs nest only so deep in practice) and in size (one huge run must
// not hold its block for the thread's life).
struct DepInputStock {
  static constexpr std::size_t kLists = 4;
  static constexpr std::size_t kMaxInputs = 4096;
  std::array<DepInputs, kLists> lists;
  std::size_t count = 0;
};

}  // namespace

void StockedDepInputs::take_from_stock(std::size_t n) {
  DepInputStock& stock = ThreadBlock<DepInputStock>::get();
  if (empty() && stock.count > 0) static_cast<DepInputs&>(*this) = std::move(stock.lists[--stock.count]);
  reserve(n);
}

// Flattened: the inputs' drops stay inline in the loop, as in a plain list's end.
[[gnu::flatten]] void StockedDepInputs::return_to_stock() noexcept {
  clear();
  DepInputStock& stock = ThreadBlock<DepInputStock>::get();
  if (stock.count == DepInputStock::kLists || capacity() > DepInputStock::kMaxInputs) return;
  stock.lists[stock.count++] = std::move(static_cast<DepInputs&>(*this));
}

}  // namespace korvalinth
