#pragma once
// The rules by which down treats a list before any of it reaches the node's
// sinks: what the open batch defers, what a node held back keeps, and when
// DIRTY goes out first. down applies them to its list; the feedback check
// (feedback_check.hpp) asks them of a list's kinds.

#include <cstdint>

#include "node/arena/graph_core.hpp"
#include "node/arena/message.hpp"
#include "node/wave/batch.hpp"

namespace korvalinth {

// The kinds the open batch defers: DATA's tier and those after it; the
// earlier tiers (START to DIRTY) go out at once.
inline bool is_late_kind(MessageKind k) noexcept { return message_tier(k) >= message_tier(MessageKind::Data); }

// The kinds a node held back keeps until it is resumed or served a pull.
inline bool is_held_kind(MessageKind k) noexcept {
  return k == MessageKind::Data || k == MessageKind::Resolved || k == MessageKind::Invalidate;
}

// Whether down defers a list's late kinds into the open batch: a node's
// own function delivers at once.
inline bool defers_into_batch(bool running) noexcept { return !running && batch_collecting(); }

// Whether the node's outgoing DATA, RESOLVED and INVALIDATE wait now
// (paused, or waiting for a pull), by its pause mode. Inlined into the entry
// read of every down: the entries it reads need not be laid out for a call.
[[gnu::always_inline]] inline bool holds_back(const LiveSlotsWithAux& s, bool running) {
  if (s.config.pausable == Pausable::False) return false;
  // A running node's messages wait under resume-all alone: tested first,
  // the pause and pull reads are spared the commonest emit.
  if (running && s.config.pausable != Pausable::ResumeAll) return false;
  const bool paused = s.aux.paused();
  const bool pull_gated = s.config.pull_id.has_value() && !s.aux.serving_pull();
  if (!paused && !pull_gated) return false;
  if (running || s.config.pausable == Pausable::ResumeAll) return true;
  const bool no_deps = s.topology.deps.empty();
  if (pull_gated && no_deps) return true;
  if (s.call.key && !no_deps) return s.call.dispatcher()->partition_flag(s.call.key->partition) != 0;
  return false;
}

// Whether a list that carries DATA or RESOLVED (carries) sends DIRTY before
// them: not from the node's own function, unless it serves a pull.
inline bool dirty_goes_first(bool carries, bool running, bool serving_pull) noexcept {
  return carries && (!running || serving_pull);
}

// The kinds of a list as a set.
class KindSet {
 public:
  constexpr KindSet() noexcept = default;
  static constexpr KindSet of(MessageKind k) noexcept { return KindSet().with(k); }
  template <class List>
  static KindSet of_list(const List& list) noexcept {
    KindSet s;
    for (const Message& m : list) s = s.with(m.kind());
    return s;
  }

  constexpr bool has(MessageKind k) const noexcept { return (bits_ & bit(k)) != 0; }
  constexpr bool empty() const noexcept { return bits_ == 0; }
  constexpr KindSet with(MessageKind k) const noexcept { return KindSet(bits_ | bit(k)); }
  // The kinds for which pred holds, and the others.
  template <class Pred>
  KindSet only(Pred pred) const noexcept {
    KindSet s;
    for (int k = 0; k < kMessageKindCount; ++k) {
      const auto kind = static_cast<MessageKind>(k);
      if (has(kind) && pred(kind)) s = s.with(kind);
    }
    return s;
  }
  template <class Pred>
  KindSet except(Pred pred) const noexcept {
    return only([&](MessageKind k) { return !pred(k); });
  }
  // Whether it carries DATA or RESOLVED.
  constexpr bool carries_data_or_resolved() const noexcept {
    return has(MessageKind::Data) || has(MessageKind::Resolved);
  }

 private:
  explicit constexpr KindSet(std::uint16_t bits) noexcept : bits_(bits) {}
  static constexpr std::uint16_t bit(MessageKind k) noexcept {
    return static_cast<std::uint16_t>(1u << static_cast<unsigned>(k));
  }
  std::uint16_t bits_ = 0;
};

}  // namespace korvalinth
