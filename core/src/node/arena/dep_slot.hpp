#pragma once
// The per-dep state of one dep, for the node's run rules.

#include <cstdint>
#include <optional>

#include "node/arena/node_fn.hpp"
#include "node/arena/wave_deliveries.hpp"

namespace korvalinth {

// A dep slot's stamp while it has no delivery list (frame ids never reach it).
inline constexpr std::uint64_t kNoStamp = ~std::uint64_t{0};

struct DepSlot {
  // The newest DATA value of this wave; every DATA value of the wave is also
  // in deliveries, which keeps the earlier ones alive until the run.
  std::optional<SharedValue> wave_value;
  WaveDeliveries deliveries;        // one list per delivery frame
  std::uint64_t stamp = kNoStamp;   // frame id of the newest delivery list
  SharedValue latest;               // value as of the last run or settle
  std::uint8_t has_value = 0;
  std::uint8_t pending = 0;     // sent DIRTY this wave, not settled yet (NodeState keeps the count)
  TerminalRecord terminal;      // the dep completed or errored
  TerminalRecord terminal_input;  // this wave's terminal, handed once to the function
};

}  // namespace korvalinth
