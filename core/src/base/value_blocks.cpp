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
      stock.counts[c] = 0;
    }
  }
};

}  // namespace

// Out of line: the owner's registration is a call of the general
// thread-local machinery, made once per thread.
[[gnu::noinline]] bool own_stock() noexcept {
  if (tls_stock.closed) return false;
  thread_local StockOwner owner;
  (void)owner;
  tls_stock.owned = true;
  return true;
}

}  // namespace korvalinth::value_blocks
