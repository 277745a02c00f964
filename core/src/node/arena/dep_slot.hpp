#pragma once
// The per-dep state of one dep, for the node's run rules.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "node/arena/node_fn.hpp"
#include "node/arena/wave_deliveries.hpp"

namespace korvalinth {

// A dep slot's stamp while it has no delivery list (frame ids never reach it).
inline constexpr std::uint64_t kNoStamp = ~std::uint64_t{0};

// A dep's terminal records, kept apart from the slot: almost no dep ever
// completes or errors, so most slots never make one.
struct DepTerminal {
  TerminalRecord terminal;        // the dep completed or errored
  TerminalRecord terminal_input;  // this wave's terminal, handed once to the function
};

struct DepSlot {
  // The newest DATA value of this wave; every DATA value of the wave is also
  // in deliveries, which keeps the earlier ones alive until the run.
  std::optional<SharedValue> wave_value;
  // One list per delivery frame. The two flags after it sit in its tail
  // padding: a slot of 56 bytes, not 64, is a smaller block for each node.
  [[no_unique_address]] WaveDeliveries deliveries;
  std::uint8_t has_value = 0;
  std::uint8_t pending = 0;     // sent DIRTY this wave, not settled yet (NodeState keeps the count)
  std::uint64_t stamp = kNoStamp;   // frame id of the newest delivery list
  SharedValue latest;               // value as of the last run or settle
  std::unique_ptr<DepTerminal> ended;  // null until the dep completes or errors

  // Whether the destructor would drop nothing: no value, list or terminal
  // record is held.
  bool holds_nothing_to_drop() const noexcept {
    return !wave_value.has_value() & deliveries.empty() & !latest & !ended;
  }
  // Whether the dep completed or errored.
  bool terminal_present() const noexcept { return ended && ended->terminal.present; }
  // Whether this wave's terminal still waits to be handed to the function.
  bool terminal_input_present() const noexcept { return ended && ended->terminal_input.present; }
  // Records the dep's terminal, also as this wave's input.
  void record_terminal(const TerminalRecord& t) {
    if (!ended) ended = std::make_unique<DepTerminal>();
    ended->terminal = t;
    ended->terminal_input = t;
  }
  // This wave's terminal, handed once: the slot keeps none after. Inline:
  // each run takes it from every dep that brought something, and a call
  // cost more than its test.
  [[gnu::always_inline]] TerminalRecord take_terminal_input() noexcept {
    return ended ? std::exchange(ended->terminal_input, TerminalRecord{}) : TerminalRecord{};
  }
};

// A field added to the slot is told in holds_nothing_to_drop too.
static_assert(sizeof(DepSlot) == 56);

}  // namespace korvalinth
