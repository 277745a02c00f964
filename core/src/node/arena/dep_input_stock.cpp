#include <algorithm>
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

// Drops the inputs front to back as clear would, their wave parts inline:
// a wide run's loud deps would each call out for them. A drop never
// reshapes the list, so its end is read once.
void drop_inputs(DepInputs& inputs) noexcept {
  for (DepInput* at = inputs.data(), *const end = at + inputs.size(); at != end; ++at) at->end_inline();
  inputs.forget_all();
}

}  // namespace

void StockedDepInputs::take_from_stock(std::size_t n) {
  DepInputStock& stock = ThreadBlock<DepInputStock>::get();
  if (empty() && stock.count > 0) static_cast<DepInputs&>(*this) = std::move(stock.lists[--stock.count]);
  reserve(n);
}

// Flattened: the inputs' drops stay inline in the loop, as in a plain list's end.
[[gnu::flatten]] void StockedDepInputs::return_to_stock() noexcept {
  // Lending lists go innermost first, as their runs end.
  if (innermost_lender_ == this) {
    innermost_lender_ = lending().outer_lender;
    drop_lending();
  } else {
    drop_inputs(*this);
  }
  DepInputStock& stock = ThreadBlock<DepInputStock>::get();
  if (stock.count == DepInputStock::kLists || capacity() > DepInputStock::kMaxInputs) return;
  stock.lists[stock.count++] = std::move(static_cast<DepInputs&>(*this));
}

// Lent inputs drop nothing: only the noted ones are dropped, front to back
// as a clear would, and the rest forgotten. A list its function reshaped, or
// with more owned inputs than noted, or states gone, is cleared as usual.
void StockedDepInputs::drop_lending() noexcept {
  Lending& l = lending();
  if (!l.lent_from || size() != l.lent_size || l.owned > kOwnedNoted) return drop_inputs(*this);
  std::uint32_t* const first = l.owned_at.data();
  std::sort(first, first + l.owned);
  for (std::size_t k = 0; k < l.owned; ++k) (*this)[first[k]].~DepInput();
  forget_all();
}

std::span<const std::uint32_t> StockedDepInputs::owned_in_dep_order() noexcept {
  Lending& l = lending();
  std::uint32_t* const first = l.owned_at.data();
  std::sort(first, first + l.owned);
  return {first, l.owned};
}

void StockedDepInputs::keep_lent(const DepSlot* slots, std::size_t i, bool all) noexcept {
  // One list at most lends from the same states: a node running again
  // inside the end of its own run (its RESOLVED's sinks may set a dep) makes
  // the outer run's list keep its shares first.
  for (StockedDepInputs* list = innermost_lender_; list; list = list->lending().outer_lender) {
    if (list->lending().lent_from != slots) continue;
    if (!all) return list->keep_input_share(i);
    for (DepInput& input : *list) input.keep_share();
    list->lending().lent_from = nullptr;  // states moved or gone: nothing is lent any more
    return;
  }
}

}  // namespace korvalinth
