#pragma once
// Fast per-thread state. The runtime runs inside a dlopen'ed extension
// module, where an ordinary thread_local costs a call of __tls_get_addr on
// every access; these use the initial-exec model instead (one load), and keep
// what that model can hold small: plain counters directly, anything larger
// behind one pointer to a block made on first use and destroyed at thread exit.

#include <memory>

#define KORVALINTH_FAST_TLS __attribute__((tls_model("initial-exec")))

namespace korvalinth {

// One T per thread (T default-constructible; use a distinct type per use).
template <class T>
class ThreadBlock {
 public:
  static T& get() noexcept {
    T* p = ptr_;
    return __builtin_expect(p != nullptr, 1) ? *p : create();
  }
  // The block of a caller that saw it made on this thread already: no test.
  static T& made() noexcept { return *ptr_; }

 private:
  struct Owner {
    std::unique_ptr<T> block;
    ~Owner() { ptr_ = nullptr; }
  };
  [[gnu::noinline]] static T& create() noexcept {
    thread_local Owner owner;
    owner.block = std::make_unique<T>();
    ptr_ = owner.block.get();
    return *ptr_;
  }
  static inline constinit thread_local T* ptr_ KORVALINTH_FAST_TLS = nullptr;
};

}  // namespace korvalinth
