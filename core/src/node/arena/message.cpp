#include "node/arena/message.hpp"

#include <algorithm>
#include <variant>

#include "base/fault.hpp"

namespace korvalinth {

std::string_view message_kind_name(MessageKind k) noexcept {
  static constexpr std::string_view names[kMessageKindCount] = {
      "START", "PAUSE", "RESUME", "PULL", "DIRTY", "DATA",
      "RESOLVED", "INVALIDATE", "COMPLETE", "ERROR", "TEARDOWN"};
  return names[static_cast<int>(k)];
}

void Message::wrong_payload() { throw std::bad_variant_access(); }

Message Message::copy_control() const {
  switch (kind_) {
    case MessageKind::Pause:
    case MessageKind::Resume:
      return Message(kind_, std::string(lock_id()));
    case MessageKind::Pull:
      return Message(kind_, PullRequest{pull_request().pull_id, pull_request().params});
    case MessageKind::Data:
    case MessageKind::Error:
      fault("message copy: DATA and ERROR messages are never copied");
    default:
      return Message(kind_);
  }
}

void sort_by_tier(MessageList& list) {
  // Most lists are already in order; skip the sort then.
  if (std::is_sorted(list.begin(), list.end(),
                     [](const Message& a, const Message& b) { return a.tier() < b.tier(); }))
    return;
  std::stable_sort(list.begin(), list.end(),
                   [](const Message& a, const Message& b) { return a.tier() < b.tier(); });
}

constinit const Message ConstantMessages::teardown{MessageKind::Teardown};
constinit const Message ConstantMessages::dirty{MessageKind::Dirty};
constinit const Message ConstantMessages::invalidate{MessageKind::Invalidate};
constinit const Message ConstantMessages::start{MessageKind::Start};

std::string_view node_status_name(NodeStatus s) noexcept {
  static constexpr std::string_view names[] = {"sentinel", "pending",   "dirty",  "settled",
                                               "resolved", "completed", "errored"};
  return names[static_cast<int>(s)];
}

std::optional<NodeStatus> parse_node_status(std::string_view text) noexcept {
  for (int i = 0; i <= 6; ++i) {
    if (node_status_name(static_cast<NodeStatus>(i)) == text) return static_cast<NodeStatus>(i);
  }
  return std::nullopt;
}

}  // namespace korvalinth
