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

std::string verdict_text(const std::optional<WireBridgeEvent>& v) {
  static constexpr const char* kNames[] = {"out",    "in",    "acked", "nacked",   "timeout", "retry",   "exhausted",
                                           "cursor", "stale", "gap",   "mismatch", "late",    "protocol"};
  return v ? kNames[v->index()] : "ok";
}

struct TakesCase {
  const char* label;
  std::string takes;     // "p 1 g 1": reader (p or g) and item label, in turn
  std::string verdicts;  // one per take
};

class InboundVerdicts : public testing::TestWithParam<TakesCase> {};
TEST_P(InboundVerdicts, AreJudgedOncePerDeliveryAndHandedToTheOtherReaders) {
  std::map<std::string, SharedContent<bridge_inbound::Envelope>> items{
      {"1", item(1, 2)}, {"1b", item(1, 2)}, {"2", item(2, 2)}, {"3", item(3, 2)}, {"3c", item(3, 1)},
      {"t", item(2, 2, "t")}};
  const BridgeStateCell state;
  std::istringstream in(GetParam().takes);
  std::string out;
  for (std::string reader, label; in >> reader >> label;) {
    const SlotKey key{reader == "p" ? 1u : 2u, 1};
    out += (out.empty() ? "" : " ") + verdict_text(take_inbound_verdict(state, "s", items.at(label), key));
  }
  EXPECT_EQ(out, GetParam().verdicts);
  EXPECT_EQ(state.borrow()->inbound_cursor, 2u);
  // A verdict goes with its item: the verdicts kept stay few however many
  // items pass, and an item at a dead one's address is judged afresh.
  items.clear();
  for (std::uint64_t seq = 3; seq < 1000; ++seq)
    EXPECT_EQ(verdict_text(take_inbound_verdict(state, "s", item(seq, 2), SlotKey{1, 1})), "ok");
  EXPECT_LT(state.borrow()->inbound_verdicts.judged.size(), 200u);
}

INSTANTIATE_TEST_SUITE_P(Table, InboundVerdicts, testing::Values(
  TakesCase{"in_order_either_reader_first", "p 1 g 1 g 2 p 2", "ok ok ok ok"},
  // The session has moved on to 2 when p asks about 3: p is still handed the gap.
  TakesCase{"a_gap_stays_a_gap_for_the_later_reader", "g 1 g 3 g 2 p 1 p 3 p 2", "ok gap ok ok gap ok"},
  TakesCase{"a_duplicate_envelope_is_stale_to_both", "g 1 g 1b p 1 p 1b g 2 p 2", "ok stale ok stale ok ok"},
  TakesCase{"an_item_handed_again_is_judged_again", "p 1 g 1 p 1 g 1 p 2 g 2", "ok ok stale stale ok ok"},
  TakesCase{"refusals_before_the_sequence", "g t g 1 p t p 1 g 2 p 2 g 3c p 3c",
            "mismatch ok mismatch ok ok ok protocol protocol"}),
  [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace korvalinth::test
