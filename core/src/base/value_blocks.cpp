#include "base/value_blocks.hpp"

namespace korvalinth::value_blocks {

namespace {

struct StockOwner {
  ~StockOwner() {
    Stock& stock = tls_stock;
    stock.closed = true;
    stock.owned = false;
    for (std::size_t c = 0; c < kClasses; ++c) {
      while (FreeBlock* block = stock.heads[c]) {
        stock.heads[c] = block->next;
        ::operator delete(block, class_size(c));
      }
      stock.room[c] = 0;
    }
  }
};

}  // namespace

// Out of line: the owner's registration is a call of the general
// thread-local machinery, made once per thread.
[[gnu::noinline]] void give_without_room(void* block, std::size_t size_class) noexcept {
  Stock& stock = tls_stock;
  if (stock.owned || stock.closed) {
    ::operator delete(block, class_size(size_class));
    return;
  }
  thread_local StockOwner owner;
  (void)owner;
  stock.owned = true;
  // Nothing is stocked before the owner: every class has its full room.
  for (std::uint32_t& room : stock.room) room = kMaxStockedPerClass;
  give_value_block(block, class_size(size_class));
}

}  // namespace korvalinth::value_blocks
