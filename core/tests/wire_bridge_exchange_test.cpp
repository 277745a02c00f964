// Two bridges exchanging DATA over a host that reorders, duplicates and
// drops envelopes, with ack timeouts reported at random: every DATA the
// sender sends is accepted by the receiver exactly once and in order, or the
// sender reports it exhausted; nothing is lost silently.

#include <random>
#include <set>

#include "wire/bridge/bridge_processor.hpp"
#include "wire_bridge_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

class WireBridgeExchange : public ::testing::TestWithParam<unsigned> {};

TEST_P(WireBridgeExchange, EveryDataIsAcceptedOnceInOrderOrReported) {
  std::mt19937 rng(GetParam());
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  BridgePeer a(bridge_config(retry_backoff::Fixed{3}, 6)), b(bridge_config(retry_backoff::Fixed{3}, 6));
  std::vector<BridgeEnvelope> to_a, to_b;  // in flight
  std::size_t a_moved = 0, b_moved = 0, b_read = 0, data_sent = 0, now = 0;
  // The receiver acknowledges each DATA it accepted; new envelopes go in flight.
  auto pump = [&] {
    for (auto& got = b.tap(kEvents).got; b_read < got.size(); ++b_read)
      if (auto* in = std::get_if<bridge_event::Inbound>(value_cast<WireBridgeEvent>(got[b_read])))
        b.command(bridge_command::Ack{{}, {}, in->envelope.seq});
    while (a_moved < a.tap(kOutbound).got.size()) to_b.push_back(a.sent(a_moved++));
    while (b_moved < b.tap(kOutbound).got.size()) to_a.push_back(b.sent(b_moved++));
  };
  // In chaos, mostly the oldest envelope in flight, sometimes any; some are dropped, some arrive again.
  auto deliver = [&](BridgePeer& to, std::vector<BridgeEnvelope>& flight, bool chaos) {
    const std::size_t i = chaos && pick(4) == 0 ? pick(flight.size()) : 0, fate = chaos ? pick(10) : 9;
    const BridgeEnvelope envelope = flight[i];
    if (fate > 1) flight.erase(flight.begin() + static_cast<std::ptrdiff_t>(i));
    if (fate != 2) to.receive(envelope);
  };
  auto report_timeouts = [&](bool all) {
    const auto pending = cached_as_bridge_record(a.bridge.events)->borrow()->pending;
    for (const auto& [seq, entry] : pending)
      if (all || pick(3) == 0) a.command(bridge_command::AckTimeout{now, seq, entry.envelope.attempt});
    return !pending.empty();
  };
  auto send_data = [&] { a.command(bridge_command::Data{bytes_of_text("d" + std::to_string(data_sent++)), {}, {}}); };
  send_data();  // the state exists from the first run on
  for (int step = 0; step < 400; ++step, pump()) {
    const std::size_t roll = pick(100);
    if (roll < 15 && data_sent < 24) send_data();
    else if (roll < 50 && !to_b.empty()) deliver(b, to_b, true);
    else if (roll < 70 && !to_a.empty()) deliver(a, to_a, true);
    else now += 1 + pick(3), report_timeouts(false);
  }
  for (int round = 0; round < 20; ++round, now += 5) {  // drain: nothing is lost any more
    for (pump(); !to_b.empty();) deliver(b, to_b, false);
    for (pump(); !to_a.empty(); pump()) deliver(a, to_a, false);
    report_timeouts(true);
  }
  ASSERT_FALSE(report_timeouts(true) || !to_a.empty() || !to_b.empty());  // every envelope settled or reported
  std::size_t accepted = 0;  // in order, each once
  for (const SharedValue& v : b.tap(kEvents).got)
    if (auto* in = std::get_if<bridge_event::Inbound>(value_cast<WireBridgeEvent>(v)))
      EXPECT_EQ(text_of(std::get<Bytes>(std::get<bridge_payload::Data>(*in->envelope.payload).body)),
                "d" + std::to_string(accepted++));
  std::set<std::uint64_t> reported;
  for (const SharedValue& v : a.tap(kEvents).got)
    if (auto* x = std::get_if<bridge_event::RetryExhausted>(value_cast<WireBridgeEvent>(v))) reported.insert(x->seq);
  for (std::uint64_t seq = 1; seq <= data_sent; ++seq) EXPECT_TRUE(seq <= accepted || reported.contains(seq)) << seq;
}

INSTANTIATE_TEST_SUITE_P(Seeds, WireBridgeExchange, ::testing::Range(1u, 41u));

