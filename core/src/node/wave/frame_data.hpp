#pragma once
// A DATA made in the frame that sends it (a set's wave, a released share's
// down). Delivered, it most often holds no value: its drop sees so in line,
// where the message's own drop is too large to be inlined and costs a call.

#include "node/arena/message.hpp"

namespace korvalinth {

class FrameData {
 public:
  explicit FrameData(SharedValue&& value) : m_(Message::data(std::move(value))) {}
  FrameData(const FrameData&) = delete;
  FrameData& operator=(const FrameData&) = delete;
  ~FrameData() {
    if (holds_nothing()) return;
    m_.~Message();
  }
  Message& message() noexcept { return m_; }
  // Said by a road that delivered it and released its value: the drop,
  // right after, then knows so and tests nothing, with no flag kept in the
  // frame.
  void mark_delivered() noexcept {
    if (!holds_nothing()) __builtin_unreachable();
  }

 private:
  // The general road may leave another message in its place. Tested kind
  // first, each on a branch of its own: a set's drop is laid out straight.
  [[gnu::always_inline]] bool holds_nothing() const noexcept {
    if (m_.kind() != MessageKind::Data) return false;
    return m_.data_value() == nullptr;
  }

  union {
    Message m_;
  };
};

}  // namespace korvalinth
