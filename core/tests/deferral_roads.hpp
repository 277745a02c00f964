#pragma once
// The two ways a test defers a set's DATA inside a batch: as one message,
// which the batch's short roads may take, or as a list of that one
// message, which always takes the general roads.

#include "node/wave/down.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"

namespace korvalinth::test {

enum class Road { OneMessage, ListOfOne };

inline void set_by(Road road, const UncountedNode& node, SharedValue v) {
  if (road == Road::OneMessage)
    run_in_wave_scope(node, [&] { down(node, Message::data(std::move(v))); });
  else
    down_in_wave_scope(node, one_message(Message::data(std::move(v))));
}

}  // namespace korvalinth::test
