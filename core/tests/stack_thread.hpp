#pragma once
// Runs test code on a thread of its own with a stack of a chosen size, so
// that how deep a graph fits does not hang on the main thread's limit.

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "node/wave/stack_guard.hpp"

namespace korvalinth::test {

inline void run_on_stack(std::size_t size, std::function<void()> body) {
  struct Run {
    std::function<void()> body;
    static void* entry(void* self) {
      static_cast<Run*>(self)->body();
      return nullptr;
    }
  };
  Run run{std::move(body)};
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, size), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, &Run::entry, &run), 0);
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
}

// Runs call with the stack taken down to about at, from a frame of its own,
// and gives back what it returns.
template <class Call>
[[gnu::noinline]] auto with_stack_down_to(std::uintptr_t at, const Call& call) {
  const std::uintptr_t sp = detail::stack_position();
  void* gap = __builtin_alloca(sp > at ? sp - at : 0);
  asm volatile("" : : "r"(gap) : "memory");
  return call();
}

}  // namespace korvalinth::test
