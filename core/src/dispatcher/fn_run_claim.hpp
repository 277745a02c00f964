#pragma once
// A run's claim on the node function it calls, in place of a share of its
// own (a share costs two atomic operations once the process has started a
// thread): the registry's share keeps the function alive while it runs.
// Should the registry let go of that share meanwhile (its slot freed, or
// the registry itself dropped), the outermost claim on the function takes
// the share over and drops it when its run ends, when a run's own share
// would have gone. Claims nest on the thread's stack, one per running
// function.

#include <cstdint>
#include <memory>
#include <new>

#include "base/thread_block.hpp"

namespace korvalinth {

class NodeFn;
using SharedNodeFn = std::shared_ptr<NodeFn>;

class FnRunClaim {
 public:
  explicit FnRunClaim(const NodeFn* fn) noexcept : fn_bits_(reinterpret_cast<std::uintptr_t>(fn)), outer_(tls_innermost) {
    tls_innermost = this;
  }
  // The claim leaves the chain before a share it took over is dropped.
  ~FnRunClaim() {
    tls_innermost = outer_;
    if (took_over()) [[unlikely]] drop_taken_over();
  }
  FnRunClaim(const FnRunClaim&) = delete;
  FnRunClaim& operator=(const FnRunClaim&) = delete;

  // Hands a share the registry lets go of to the outermost claim on its
  // function (share is then empty), unless that claim took one over already
  // and so keeps the function alive: share is then left for the caller.
  // Inline: with no run under a claim, as when a node is let go of outside
  // a wave, nothing is walked.
  static void take_over_if_claimed(SharedNodeFn& share) noexcept {
    if (tls_innermost != nullptr && share) hand_to_outermost_claim(share);
  }
  // Whether any function runs on this thread under a claim, or a claim's
  // run is still ending (dropping the share it took over).
  static bool any() noexcept { return tls_innermost != nullptr || tls_ending != 0; }
  // The innermost claim on this thread (null: none), a mark for
  // runs_only_since.
  static const FnRunClaim* innermost() noexcept { return tls_innermost; }
  // Whether fn runs under a claim made since mark was the innermost (or
  // since none was, for null), and under none made before it: its runs all
  // return before mark's run does.
  static bool runs_only_since(const FnRunClaim* mark, const NodeFn* fn) noexcept;

 private:
  static void hand_to_outermost_claim(SharedNodeFn& share) noexcept;
  void drop_taken_over() noexcept;

  static inline constinit thread_local FnRunClaim* tls_innermost KORVALINTH_FAST_TLS = nullptr;
  static inline constinit thread_local std::uint32_t tls_ending KORVALINTH_FAST_TLS = 0;

  // The function's address; its low bit (free: a NodeFn is aligned) is set
  // once the claim took a share over, so a new claim writes no empty share.
  static constexpr std::uintptr_t kTookOver = 1;
  const NodeFn* function() const noexcept { return reinterpret_cast<const NodeFn*>(fn_bits_ & ~kTookOver); }
  bool took_over() const noexcept { return (fn_bits_ & kTookOver) != 0; }

  std::uintptr_t fn_bits_;
  FnRunClaim* outer_;
  // Made and ended by hand, only once the claim takes a share over.
  union {
    SharedNodeFn taken_over_;
  };
};

}  // namespace korvalinth
