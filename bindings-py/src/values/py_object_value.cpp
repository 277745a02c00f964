#include "values/py_object_value.hpp"

#include <new>

#include "base/thread_block.hpp"

namespace korvalinth::py {

namespace {

// A freed block waiting for the next value made on the same thread. A value
// may be dropped on another thread than the one that made it: its block then
// joins that thread's stock, which is as good.
struct FreeBlock {
  FreeBlock* next;
};

constexpr unsigned kMaxStock = 256;

constinit thread_local FreeBlock* tls_stock KORVALINTH_FAST_TLS = nullptr;
constinit thread_local unsigned tls_stock_size KORVALINTH_FAST_TLS = 0;
// Set once the thread's stock has an owner that frees it at thread exit, and
// cleared for good when that owner has gone: blocks freed later (other
// thread-exit destructors, interpreter shutdown) go straight back.
constinit thread_local bool tls_stock_owned KORVALINTH_FAST_TLS = false;
constinit thread_local bool tls_stock_closed KORVALINTH_FAST_TLS = false;

struct StockOwner {
  ~StockOwner() {
    tls_stock_closed = true;
    tls_stock_owned = false;
    while (FreeBlock* block = tls_stock) {
      tls_stock = block->next;
      ::operator delete(block);
    }
    tls_stock_size = 0;
  }
};

[[gnu::noinline]] bool own_stock() noexcept {
  if (tls_stock_closed) return false;
  thread_local StockOwner owner;
  (void)owner;
  tls_stock_owned = true;
  return true;
}

}  // namespace

void* PyObjectValue::operator new(std::size_t size) {
  // The class is final: every block has its size.
  static_assert(sizeof(PyObjectValue) >= sizeof(FreeBlock));
  if (FreeBlock* block = tls_stock) {
    tls_stock = block->next;
    --tls_stock_size;
    return block;
  }
  return ::operator new(size);
}

void PyObjectValue::operator delete(void* block) noexcept {
  if (block == nullptr) return;
  if (tls_stock_size < kMaxStock && (tls_stock_owned || own_stock())) {
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = tls_stock;
    tls_stock = freed;
    ++tls_stock_size;
    return;
  }
  ::operator delete(block);
}

SharedValue make_py_value(kit::OwnedRef object) {
  return make_derived_value<PyObjectValue>(std::move(object));
}

}  // namespace korvalinth::py
