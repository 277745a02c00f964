#pragma once
// The wave message: a kind and exactly that kind's payload. Messages are
// move-only: delivery hands them by reference, and only the upstream fan-out
// copies control messages explicitly (copy_control).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/value.hpp"

namespace korvalinth {

enum class MessageKind : std::uint8_t {
  Start = 0,
  Pause = 1,
  Resume = 2,
  Pull = 3,
  Dirty = 4,
  Data = 5,
  Resolved = 6,
  Invalidate = 7,
  Complete = 8,
  Error = 9,
  Teardown = 10,
};

inline constexpr int kMessageKindCount = 11;

constexpr std::uint8_t message_tier(MessageKind k) noexcept {
  constexpr std::uint8_t tiers[kMessageKindCount] = {0, 1, 1, 1, 2, 3, 3, 4, 5, 5, 6};
  return tiers[static_cast<int>(k)];
}

// Kinds that may travel upstream.
constexpr bool is_control_kind(MessageKind k) noexcept {
  switch (k) {
    case MessageKind::Pause:
    case MessageKind::Resume:
    case MessageKind::Pull:
    case MessageKind::Dirty:
    case MessageKind::Invalidate:
    case MessageKind::Teardown:
      return true;
    default:
      return false;
  }
}

std::string_view message_kind_name(MessageKind k) noexcept;

// The pull id and optional params of a PULL; also a node's pending/current pull.
struct PullRequest {
  std::string pull_id;
  SharedValue params;
};

class Message {
 public:
  static Message start() { return Message(MessageKind::Start); }
  static Message pause(std::string lock_id) { return Message(MessageKind::Pause, std::move(lock_id)); }
  static Message resume(std::string lock_id) { return Message(MessageKind::Resume, std::move(lock_id)); }
  static Message pull(std::string pull_id, SharedValue params = nullptr) {
    return Message(MessageKind::Pull, PullRequest{std::move(pull_id), std::move(params)});
  }
  static Message dirty() { return Message(MessageKind::Dirty); }
  static Message data(SharedValue value) { return Message(MessageKind::Data, std::move(value)); }
  static Message resolved() { return Message(MessageKind::Resolved); }
  static Message invalidate() { return Message(MessageKind::Invalidate); }
  static Message complete() { return Message(MessageKind::Complete); }
  static Message error(SharedError error) { return Message(MessageKind::Error, std::move(error)); }
  static Message teardown() { return Message(MessageKind::Teardown); }

  // The kind names the payload: a moved-from message keeps its kind and a
  // moved-from payload of that kind.
  Message(Message&& other) noexcept : kind_(other.kind_) {
    if (kind_ == MessageKind::Data) {
      std::construct_at(&value_, std::move(other.value_));
      return;
    }
    switch (kind_) {
      case MessageKind::Pause:
      case MessageKind::Resume:
        std::construct_at(&lock_id_, std::move(other.lock_id_));
        break;
      case MessageKind::Pull:
        std::construct_at(&pull_, std::move(other.pull_));
        break;
      case MessageKind::Error:
        std::construct_at(&error_, std::move(other.error_));
        break;
      default:
        break;
    }
  }
  // The old payload dies before the new one is in place (kept so: taking
  // the new one first costs the hot path ~2 %): never move-assign over a
  // message that a value's drop could read.
  Message& operator=(Message&& other) noexcept {
    if (this != &other) {
      destroy_payload();
      std::construct_at(this, std::move(other));
    }
    return *this;
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  // Exchanges the two messages; two DATA trade only their values, a
  // swap by moves costs three moves and their payloads' drops.
  void swap(Message& other) noexcept {
    if (kind_ == MessageKind::Data && other.kind_ == MessageKind::Data) return value_.swap(other.value_);
    Message taken(std::move(other));
    other = std::move(*this);
    *this = std::move(taken);
  }
  // A delivered DATA is dropped with its value already released: its drop
  // is one test of the kind and one of the value.
  ~Message() { destroy_payload(); }

  MessageKind kind() const noexcept { return kind_; }
  std::uint8_t tier() const noexcept { return message_tier(kind_); }
  std::string_view kind_name() const noexcept { return message_kind_name(kind_); }

  // PAUSE / RESUME: the lock id bytes.
  const std::string& lock_id() const {
    if (kind_ != MessageKind::Pause && kind_ != MessageKind::Resume) wrong_payload();
    return lock_id_;
  }
  // PULL.
  const PullRequest& pull_request() const {
    if (kind_ != MessageKind::Pull) wrong_payload();
    return pull_;
  }
  // DATA: the shared value (may be null only if built so by the caller).
  const SharedValue& value() const {
    if (kind_ != MessageKind::Data) wrong_payload();
    return value_;
  }
  // The same for a message the caller found to be a DATA: not tested again.
  const SharedValue& data_value() const noexcept { return value_; }
  // ERROR.
  const SharedError& error_value() const {
    if (kind_ != MessageKind::Error) wrong_payload();
    return error_;
  }

  // Drops the payload (a DATA's value, an ERROR's error) in place; the kind
  // stays. For a message that was delivered and is dropped right after.
  void release_payload() noexcept {
    if (kind_ == MessageKind::Data) {
      release_data_value();
      return;
    }
    destroy_payload();
    construct_empty_payload();
  }
  // The same for a message the caller found to be a DATA.
  void release_data_value() noexcept { value_.reset(); }
  // The DATA's value, which the message no longer holds.
  SharedValue take_data_value() noexcept { return std::move(value_); }

  // Copy of a message for upstream fan-out: lock ids and pull ids are copied,
  // params shared. DATA and ERROR are never copied this way.
  Message copy_control() const;

 private:
  struct NoPayload {};
  constexpr explicit Message(MessageKind k) : kind_(k), none_() {}
  friend struct ConstantMessages;
  Message(MessageKind k, std::string lock_id) : kind_(k), lock_id_(std::move(lock_id)) {}
  Message(MessageKind k, PullRequest pull) : kind_(k), pull_(std::move(pull)) {}
  Message(MessageKind k, SharedValue value) : kind_(k), value_(std::move(value)) {}
  Message(MessageKind k, SharedError error) : kind_(k), error_(std::move(error)) {}

  void destroy_payload() noexcept {
    if (kind_ == MessageKind::Data) {
      // Tested here, not in an outlined drop: most DATA are dropped after
      // delivery released their value.
      if (value_ != nullptr) std::destroy_at(&value_);
      return;
    }
    switch (kind_) {
      case MessageKind::Pause:
      case MessageKind::Resume:
        std::destroy_at(&lock_id_);
        break;
      case MessageKind::Pull:
        std::destroy_at(&pull_);
        break;
      case MessageKind::Error:
        std::destroy_at(&error_);
        break;
      default:
        break;
    }
  }
  // Leaves the payload of the kind empty, as a moved-from one.
  void construct_empty_payload() noexcept {
    switch (kind_) {
      case MessageKind::Pause:
      case MessageKind::Resume:
        std::construct_at(&lock_id_);
        break;
      case MessageKind::Pull:
        std::construct_at(&pull_);
        break;
      case MessageKind::Data:
        std::construct_at(&value_);
        break;
      case MessageKind::Error:
        std::construct_at(&error_);
        break;
      default:
        break;
    }
  }
  [[noreturn]] static void wrong_payload();

  MessageKind kind_;
  union {
    NoPayload none_;
    std::string lock_id_;
    PullRequest pull_;
    SharedValue value_;
    SharedError error_;
  };
};

using MessageList = std::vector<Message>;

// Stable sort by tier: equal tiers keep the caller's order.
void sort_by_tier(MessageList& list);

// Immutable constants broadcast without a list. Built at compile time: a
// function-local static would test its guard on every call, and DIRTY goes
// out once per node of every wave.
struct ConstantMessages {
  static const Message teardown;
  static const Message dirty;
  static const Message invalidate;
  static const Message start;
};
inline const Message& teardown_message() noexcept { return ConstantMessages::teardown; }
inline const Message& dirty_message() noexcept { return ConstantMessages::dirty; }
inline const Message& invalidate_message() noexcept { return ConstantMessages::invalidate; }
inline const Message& start_message() noexcept { return ConstantMessages::start; }

enum class NodeStatus : std::uint8_t {
  Sentinel = 0,
  Pending = 1,
  Dirty = 2,
  Settled = 3,
  Resolved = 4,
  Completed = 5,
  Errored = 6,
};

std::string_view node_status_name(NodeStatus s) noexcept;
std::optional<NodeStatus> parse_node_status(std::string_view text) noexcept;
inline bool is_quiescent_status(NodeStatus s) noexcept {
  return s != NodeStatus::Pending && s != NodeStatus::Dirty;
}

}  // namespace korvalinth
