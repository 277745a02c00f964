#pragma once
// The two ways a test downs a message, such as a set's DATA inside a
// batch: as one message, which the short roads may take, or as a list of
// that one message, which always takes the general roads.

#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

namespace korvalinth::test {

enum class Road { OneMessage, ListOfOne };

inline void down_by(Road road, const UncountedNode& node, Message m) {
  if (road == Road::OneMessage)
    run_in_wave_scope(node, [&] { down(node, std::move(m)); });
  else
    down_in_wave_scope(node, one_message(std::move(m)));
}

inline void set_by(Road road, const UncountedNode& node, SharedValue v) { down_by(road, node, Message::data(std::move(v))); }

}  // namespace korvalinth::test
