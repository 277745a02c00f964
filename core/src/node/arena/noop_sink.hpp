#pragma once
// The do-nothing sink, apart from the Sink interface: where it is visible, the
// compiler guesses it as the target of every sink call, and that guess never
// holds on the delivery path.

#include "node/arena/sink.hpp"

namespace korvalinth {

// Ignores every message: a subscription that only keeps a node active.
class NoopSink final : public Sink {
 public:
  void call(const Message&) override {}
  bool ignores_messages() const noexcept override { return true; }
};

}  // namespace korvalinth
