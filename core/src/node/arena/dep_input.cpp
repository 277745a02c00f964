#include "node/arena/node_fn.hpp"

namespace korvalinth {

// Read only, holding no value: safe to share between threads.
const TerminalRecord kNoTerminalInput{};
const WaveDeliveries kNoDeliveries{};

}  // namespace korvalinth
