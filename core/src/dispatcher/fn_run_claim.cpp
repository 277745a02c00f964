#include "dispatcher/fn_run_claim.hpp"

namespace korvalinth {

void FnRunClaim::hand_to_outermost_claim(SharedNodeFn& share) noexcept {
  // The outermost claim's run ends last: the function lives until then.
  FnRunClaim* outermost = nullptr;
  for (FnRunClaim* c = tls_innermost; c != nullptr; c = c->outer_) {
    if (c->function() == share.get()) outermost = c;
  }
  if (outermost == nullptr || outermost->took_over()) return;
  ::new (&outermost->taken_over_) SharedNodeFn(std::move(share));
  outermost->fn_bits_ |= kTookOver;
}

bool FnRunClaim::runs_only_since(const FnRunClaim* mark, const NodeFn* fn) noexcept {
  bool since = true;
  bool found = false;
  for (const FnRunClaim* c = tls_innermost; c != nullptr; c = c->outer_) {
    if (c == mark) since = false;
    if (c->function() != fn) continue;
    if (!since) return false;
    found = true;
  }
  return found;
}

void FnRunClaim::drop_taken_over() noexcept {
  tls_ending += 1;
  taken_over_.reset();
  taken_over_.~SharedNodeFn();
  tls_ending -= 1;
}

}  // namespace korvalinth
