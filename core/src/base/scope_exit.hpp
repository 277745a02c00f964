#pragma once
// Runs a cleanup when a scope ends, by return or by a fault, unless it was
// dismissed first. The cleanup runs in a destructor, so it must not throw:
// each caller says how its faults are handled (drop_quietly, or kept).

#include <type_traits>
#include <utility>

namespace korvalinth {

template <class F>
class [[nodiscard]] ScopeExit {
  static_assert(std::is_nothrow_invocable_v<F&>, "a scope-exit cleanup runs in a destructor: make it noexcept");

 public:
  explicit ScopeExit(F cleanup) noexcept(std::is_nothrow_move_constructible_v<F>) : cleanup_(std::move(cleanup)) {}
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  ~ScopeExit() {
    if (armed_) cleanup_();
  }
  // The scope ends without the cleanup (the caller did its own).
  void dismiss() noexcept { armed_ = false; }

 private:
  F cleanup_;
  bool armed_ = true;
};

template <class F>
ScopeExit<F> on_scope_exit(F cleanup) {
  return ScopeExit<F>(std::move(cleanup));
}

}  // namespace korvalinth
