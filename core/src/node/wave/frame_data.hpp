#pragma once
// A DATA made in the frame that sends it (a set's wave, a released share's
// down). Delivered, it most often holds no value: its drop sees so in line,
// where the message's own drop is too large to be inlined and costs a call.

#include <type_traits>

#include "node/arena/message.hpp"

namespace korvalinth {

// KeepsMark: a road that knows when it delivered the message says so, and
// the drop then tests nothing. Without it the frame keeps no mark.
template <bool KeepsMark>
class FrameData {
 public:
  explicit FrameData(SharedValue&& value) : m_(Message::data(std::move(value))) {}
  // A released share: the message adopts it.
  explicit FrameData(const Value* released) : m_(Message::data(SharedValue::adopt(released))) {}
  FrameData(const FrameData&) = delete;
  FrameData& operator=(const FrameData&) = delete;
  [[gnu::always_inline]] ~FrameData() {
    if constexpr (KeepsMark)
      if (mark_.delivered) return;
    if (holds_nothing()) return;
    m_.~Message();
  }
  Message& message() noexcept { return m_; }
  // Said by a road that delivered it and released its value.
  void mark_delivered() noexcept
    requires KeepsMark
  {
    mark_.delivered = true;
  }
  // The message's share, given to the caller: the message still names the
  // value, which the caller keeps alive for as long as the message is used,
  // and its drop tests nothing.
  SharedValue lend_value() noexcept
    requires KeepsMark
  {
    mark_.delivered = true;
    return SharedValue::adopt(m_.data_value().get());
  }
  // Undoes lend_value: the message holds a share of its own again.
  void take_share_back() noexcept
    requires KeepsMark
  {
    mark_.delivered = false;
    SharedValue(m_.data_value()).release();
  }

 private:
  // The general road may leave another message in its place. Tested kind
  // first, each on a branch of its own: a set's drop is laid out straight.
  [[gnu::always_inline]] bool holds_nothing() const noexcept {
    if (m_.kind() != MessageKind::Data) return false;
    return m_.data_value() == nullptr;
  }

  struct Mark {
    bool delivered = false;
  };
  struct NoMark {};

  union {
    Message m_;
  };
  [[no_unique_address]] std::conditional_t<KeepsMark, Mark, NoMark> mark_;
};

}  // namespace korvalinth
