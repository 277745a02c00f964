#pragma once
// Wire bridges on their own graphs, with envelopes moved between them by
// hand, and every output kept and shown as short text:
//   events     their names: "out", "in", "acked", "timeout", "retry", ...
//   outbound   "o DATA 1#1 c0 t1": type, seq#attempt, cursor, sent_at
//   attempts "a 1#1/2", acks "k 1", nacks "x 1 why", cursor "c 1", errors "e <text>"
//   status     "open c1 n2 p1 a1 k1 x1 e1 l1 d0": state, then the fields that differ from a
//              fresh status: cursor, next_seq, pending, attempts, acked, nacked, errors,
//              last_seq, last_delay_ms

#include <gtest/gtest.h>

#include "node/topology/node_ops.hpp"
#include "node/topology/subscribe.hpp"
#include "wire/bridge/bridge_messages.hpp"
#include "wire/bridge/projection_records.hpp"
#include "wire/bridge/wire_bridge.hpp"
#include "wire_test_support.hpp"

namespace korvalinth::test {

inline std::string show(const SharedValue& v) {
  using std::to_string;
  static constexpr const char* kTypes[] = {"START", "DATA", "ACK", "NACK", "STATUS", "ERROR", "CLOSE"};
  static constexpr const char* kEvents[] = {"out",    "in",    "acked", "nacked",   "timeout", "retry",   "exhausted",
                                            "cursor", "stale", "gap",   "mismatch", "late",    "protocol"};
  if (auto* e = value_cast<WireBridgeEvent>(v)) return kEvents[e->index()];
  if (auto* e = value_cast<BridgeEnvelope>(v))
    return "o " + std::string(kTypes[int(e->envelope_type)]) + " " + to_string(e->seq) + "#" + to_string(e->attempt) +
           " c" + to_string(e->cursor) + " t" + to_string(e->sent_at.value_or(9));
  if (auto* t = value_cast<WireBridgeAttempt>(v))
    return "a " + to_string(t->seq) + "#" + to_string(t->attempt) + "/" + to_string(t->max_attempts);
  if (auto* k = value_cast<WireBridgeAck>(v)) return "k " + to_string(k->ack_for_seq);
  if (auto* x = value_cast<WireBridgeNack>(v)) return "x " + to_string(x->ack_for_seq) + " " + text_of(x->reason);
  if (auto* c = value_cast<std::uint64_t>(v)) return "c " + to_string(*c);
  if (auto* text = value_cast<std::string>(v)) return "e " + *text;
  const auto& s = *value_cast<WireBridgeStatus>(v);
  std::string out(status_state_name(s.state));
  for (auto [key, n, fresh] : {std::tuple{"c", s.cursor, 0}, {"n", s.next_seq, 1}, {"p", s.pending, 0},
                               {"a", s.attempts, 0}, {"k", s.acked, 0}, {"x", s.nacked, 0}, {"e", s.errors, 0}})
    if (n != std::uint64_t(fresh)) out += std::string(" ") + key + to_string(n);
  if (s.last_seq) out += " l" + to_string(*s.last_seq);
  return s.last_delay_ms ? out + " d" + to_string(*s.last_delay_ms) : out;
}

// Keeps every DATA value a node emits; `then` sees each after.
struct Tap final : Sink {
  std::vector<SharedValue> got;
  std::function<void(const SharedValue&)> then;
  void call(const Message& m) override {
    if (m.kind() != MessageKind::Data) return;
    got.push_back(m.value());
    if (then) then(m.value());
  }
  // The values from index `from` on, shown and joined by " | ".
  std::string shown(std::size_t from = 0) const {
    std::string out;
    for (std::size_t i = from; i < got.size(); ++i) out += (out.empty() ? "" : " | ") + show(got[i]);
    return out;
  }
};

enum TapIndex { kEvents, kOutbound, kAttempts, kAcks, kNacks, kCursor, kErrors, kStatus };

struct BridgePeer {
  GraphRef graph = GraphContainer::create("peer");
  WireBridge bridge;
  std::vector<std::shared_ptr<Tap>> taps;
  std::vector<UnsubscribeFn> subscriptions;

  explicit BridgePeer(WireBridgeConfig config) : bridge(wire_bridge(*graph, std::move(config))) { subscribe(); }
  ~BridgePeer() { unsubscribe(); }
  // Taps on all eight outputs, in TapIndex order; kept across unsubscribe and subscribe.
  void subscribe() {
    std::size_t i = 0;
    for (const NodeHandle* node : {&bridge.events, &bridge.outbound, &bridge.attempts, &bridge.acks, &bridge.nacks,
                                   &bridge.cursor, &bridge.errors, &bridge.status}) {
      if (taps.size() == i) taps.push_back(std::make_shared<Tap>());
      subscriptions.push_back(node_subscribe(*node, taps[i++]));
    }
  }
  void unsubscribe() { for (auto& s : std::exchange(subscriptions, {})) s.call(); }
  Tap& tap(TapIndex i) { return *taps[i]; }
  const BridgeEnvelope& sent(std::size_t i) { return *value_cast<BridgeEnvelope>(tap(kOutbound).got.at(i)); }
  void command(WireBridgeCommand c) { node_set(bridge.command, make_value<WireBridgeCommand>(std::move(c))); }
  void receive(BridgeEnvelope e) {
    node_set(bridge.inbound, make_value<BridgeInbound>(bridge_inbound::Envelope{std::move(e)}));
  }
};

inline WireBridgeConfig bridge_config(WireBridgeRetryBackoff backoff = {}, std::uint32_t max_attempts = 2,
                                      WireBridgeClock clock = always_true) {
  return WireBridgeConfig{"s", std::nullopt, std::move(backoff), max_attempts, std::move(clock)};
}

}  // namespace korvalinth::test
