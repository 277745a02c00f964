// The session's verdicts on inbound deliveries, shared by the readers of a
// bridge's inbound node whichever of them asks first.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "wire/bridge/inbound_acceptance.hpp"
#include "wire_edge_test_support.hpp"

namespace korvalinth::test {
namespace {

// Items by label: "1" and "1b" are two envelopes with seq 1, "3c" has seq 3
// and a cursor behind "3"'s, "t" is of session t.
SharedContent<bridge_inbound::Envelope> item(std::uint64_t seq, std::uint64_t cursor = 0, std::string session = "s") {
  SharedValue value = make_value<BridgeInbound>(bridge_inbound::Envelope{
      BridgeEnvelope{session, seq, cursor, "k", 1, 1, {}, {}, {}, WireBridgeEnvelopeType::Start, {}}});
  const auto* envelope = &std::get<bridge_inbound::Envelope>(*value_cast<BridgeInbound>(value));
  return {std::move(value), envelope};
}

std::string verdict_text(const InboundVerdict& v) {
  static constexpr const char* kNames[] = {"out",    "in",    "acked", "nacked",   "timeout", "retry",   "exhausted",
                                           "cursor", "stale", "gap",   "mismatch", "late",    "protocol"};
  return v.refusal ? kNames[v.refusal->index()] : "ok";
}

// What the processor reports up to `through`: "c<seq>" per accepted envelope.
std::string reported(const BridgeStateCell& state, std::uint64_t through) {
  std::string out;
  while (auto accepted = take_unreported_acceptance(state, through)) out += " c" + std::to_string(accepted->seq);
  return out;
}

struct TakesCase {
  const char* label;
  std::string takes;     // "p 1 g 1": reader (p or g) and item label, in turn; "p *" is the
                         // processor's first run after it was not running
  std::string verdicts;  // one per take
  std::string events;    // what the processor reports at its takes: acceptances, then its refusal
};

class InboundVerdicts : public testing::TestWithParam<TakesCase> {};
TEST_P(InboundVerdicts, AreJudgedOncePerDeliveryAndHandedToTheOtherReaders) {
  std::map<std::string, SharedContent<bridge_inbound::Envelope>> items{
      {"1", item(1, 2)}, {"1b", item(1, 2)}, {"2", item(2, 2)}, {"3", item(3, 2)}, {"3c", item(3, 1)},
      {"t", item(2, 2, "t")}};
  const BridgeStateCell state;
  std::istringstream in(GetParam().takes);
  std::string verdicts, events;
  for (std::string reader, label; in >> reader >> label;) {
    if (label == "*") {
      events += reported(state, ~std::uint64_t{0});
      continue;
    }
    const SlotKey key{reader == "p" ? 1u : 2u, 1};
    const InboundVerdict verdict = take_inbound_verdict(state, "s", items.at(label), key);
    verdicts += (verdicts.empty() ? "" : " ") + verdict_text(verdict);
    if (reader == "p") events += reported(state, verdict.cursor) + (verdict.refusal ? " " + verdict_text(verdict) : "");
  }
  EXPECT_EQ(verdicts, GetParam().verdicts);
  EXPECT_EQ(events, GetParam().events);
  EXPECT_EQ(state.borrow()->inbound_cursor, 2u);
  // A verdict goes with its item: the verdicts kept stay few however many
  // items pass, and an item at a dead one's address is judged afresh.
  items.clear();
  for (std::uint64_t seq = 3; seq < 1000; ++seq)
    EXPECT_EQ(verdict_text(take_inbound_verdict(state, "s", item(seq, 2), SlotKey{1, 1})), "ok");
  EXPECT_LT(state.borrow()->inbound_verdicts.judged.size(), 200u);
}

INSTANTIATE_TEST_SUITE_P(Table, InboundVerdicts, testing::Values(
  TakesCase{"in_order_either_reader_first", "p 1 g 1 g 2 p 2", "ok ok ok ok", " c1 c2"},
  // The session has moved on to 2 when p asks about 3: p is still handed the gap.
  TakesCase{"a_gap_stays_a_gap_for_the_later_reader", "g 1 g 3 g 2 p 1 p 3 p 2", "ok gap ok ok gap ok",
            " c1 gap c2"},
  TakesCase{"a_duplicate_envelope_is_stale_to_both", "g 1 g 1b p 1 p 1b g 2 p 2", "ok stale ok stale ok ok",
            " c1 stale c2"},
  TakesCase{"an_item_handed_again_is_judged_again", "p 1 g 1 p 1 g 1 p 2 g 2", "ok ok stale stale ok ok",
            " c1 stale c2"},
  TakesCase{"refusals_before_the_sequence", "g t g 1 p t p 1 g 2 p 2 g 3c p 3c",
            "mismatch ok mismatch ok ok ok protocol protocol", " mismatch c1 c2 protocol"},
  // What a group accepted while the processor did not run is reported once, when it runs.
  TakesCase{"accepted_unwatched_reported_when_the_processor_runs", "g 1 g 1b g 3 g 2 p * p 2",
            "ok stale gap ok ok", " c1 c2"}),
  [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace korvalinth::test
