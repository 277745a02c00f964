// Two bridges of session "s", a and b, driven by one-line steps:
//   a data X... | start | close [R] | ack N | nack N R | timeout SEQ ATTEMPT [@MS] | emptykey   commands
//   a recv I [as S] [seq N] [cursor N] [error BYTES]   b's I-th outbound envelope (from 1), changed so
//   a junk [command] | end [ERROR]   misuse of the two input nodes: a value of another type, COMPLETE or ERROR
//   a sleep | wake   the next event deactivates the bridge (its last sink goes) | deactivate, activate
//   a start+recv I   a start command and then b's I-th envelope, in one wave
//   a lastseq   the next outbound seq is the last one sendable
// Each step checks what the acting bridge emitted, shown as in wire_bridge_test_support.hpp:
// "events and projections / its latest status" ("-" for nothing).

#include <sstream>

#include "node/wave/batch.hpp"
#include "wire/bridge/bridge_processor.hpp"
#include "wire/bridge/bridge_session.hpp"
#include "wire_bridge_test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

void act(BridgePeer& self, BridgePeer& peer, std::istringstream in) {
  namespace c = bridge_command;
  std::string verb, text;
  std::uint64_t n = 0;
  std::uint32_t attempt = 0;
  in >> verb;
  if (verb == "data") while (in >> text) self.command(c::Data{bytes_of_text(text), {}, {}});
  if (verb == "emptykey") self.command(c::Data{Bytes{}, "", {}});
  if (verb == "start") self.command(c::Start{});
  if (verb == "close") in >> text, self.command(c::Close{bytes_of_text(text), {}});
  if (verb == "ack") in >> n, self.command(c::Ack{{}, {}, n});
  if (verb == "nack") in >> n >> text, self.command(c::Nack{bytes_of_text(text), {}, {}, n});
  if (verb == "timeout" && in >> n >> attempt)
    self.command(c::AckTimeout{in >> text ? std::optional(std::stoull(text.substr(1))) : std::nullopt, n, attempt});
  if (verb == "recv" && in >> n) {
    BridgeEnvelope e = peer.sent(n - 1);
    for (std::string change; in >> change;) {
      if (change == "as") in >> e.session_id;
      if (change == "seq") in >> e.seq;
      if (change == "cursor") in >> e.cursor;
      if (change == "error" && in >> text)
        e.envelope_type = WireBridgeEnvelopeType::Error, e.payload = bridge_payload::Bytes{bytes_of_text(text)};
    }
    self.receive(e);
  }
  if (verb == "junk") in >> text, node_set(text.empty() ? self.bridge.inbound : self.bridge.command, make_value<int>(1));
  if (verb == "end" && in >> text) node_down_error(self.bridge.inbound, text);
  else if (verb == "end") node_down_data_complete(self.bridge.inbound, make_value<int>(1));
  if (verb == "start+recv" && in >> n) run_batch([&] {
    self.command(c::Start{});
    self.receive(peer.sent(n - 1));
    return false;
  });
  if (verb == "lastseq") cached_as_bridge_record(self.bridge.events)->borrow_mut()->next_outbound_seq = UINT64_MAX - 1;
  if (verb == "sleep") self.tap(kEvents).then = [&self](const SharedValue&) { self.unsubscribe(); };
  if (verb == "wake") self.unsubscribe(), self.tap(kEvents).then = nullptr, self.subscribe();
}

// Each step: its script and what the acting bridge emitted.
void run_steps(std::initializer_list<std::pair<const char*, const char*>> steps, WireBridgeConfig config) {
  BridgePeer a(config), b(config);
  for (const auto& [script, emitted] : steps) {
    BridgePeer& self = script[0] == 'a' ? a : b;
    std::vector<std::size_t> seen;
    for (const auto& tap : self.taps) seen.push_back(tap->got.size());
    act(self, script[0] == 'a' ? b : a, std::istringstream(script + 2));
    std::string shown;
    for (int i = kEvents; i < kStatus; ++i)
      if (std::string s = self.taps[i]->shown(seen[i]); !s.empty()) shown += (shown.empty() ? "" : " | ") + s;
    const Tap& status = self.tap(kStatus);
    EXPECT_EQ((shown.empty() ? "-" : shown) + " / " + status.shown(status.got.size() - 1), emitted) << script;
  }
}

TEST(WireBridgeSession, TwoBridgesStepByStep) {
  // In order, duplicates, gaps, ACK, NACK, foreign sessions, late acknowledgements.
  run_steps({
      {"a data x", "out | o DATA 1#1 c0 t1 | a 1#1/2 / open n2 p1 a1 l1"},
      {"b recv 1", "cursor | in | c 1 / idle c1"},
      {"b recv 1", "stale / idle c1"},
      {"b ack 1", "out | o ACK 1#1 c1 t1 / open c1 n2 l1"},
      {"a recv 1", "cursor | in | acked | k 1 | c 1 / open c1 n2 a1 k1 l1"},
      {"a data y z", "out | out | o DATA 2#1 c1 t1 | o DATA 3#1 c1 t1 | a 2#1/2 | a 3#1/2 / open c1 n4 p2 a3 k1 l3"},
      {"b recv 3", "gap | e wireBridge: inbound seq 3 arrived before expected seq 2 / errored c1 n2 e1 l3"},
      {"b recv 2", "cursor | in | c 2 / errored c2 n2 e1 l3"},
      {"b nack 2 why", "out | o NACK 2#1 c2 t1 / open c2 n3 e1 l2"},
      {"a recv 2", "cursor | in | nacked | x 2 why | c 2 | e why / errored c2 n4 p1 a3 k1 x1 e1 l2"},
      {"b ack 9", "out | o ACK 3#1 c2 t1 / open c2 n4 e1 l3"},
      {"a recv 3 as t", "mismatch | e wireBridge: inbound session t did not match expected s / errored c2 n4 p1 a3 "
                        "k1 x1 e2 l2"},
      {"a recv 3", "cursor | in | late | c 3 | e wireBridge: late Ack for unknown or completed ack_for_seq 9 / "
                   "errored c3 n4 p1 a3 k1 x1 e3 l2"},
  }, bridge_config());
  // Retries after ack timeouts until exhausted. Deactivated while it reports a timeout, the bridge forgets its
  // pending envelopes (no retry) and keeps its counters; reactivated, it handles no command a second time.
  run_steps({
      {"a data x", "out | o DATA 1#1 c0 t1 | a 1#1/2 / open n2 p1 a1 l1"},
      {"a timeout 1 1", "timeout | retry | out | o DATA 1#2 c0 t1 | a 1#2/2 / open n2 p1 a2 l1 d0"},
      {"a timeout 1 1", "- / open n2 p1 a2 l1 d0"},
      {"a timeout 1 2", "timeout | exhausted | e s: ack timeout for seq 1 / exhausted n2 a2 e1 l1 d0"},
      {"a data y", "out | o DATA 2#1 c0 t1 | a 2#1/2 / open n3 p1 a3 e1 l2 d0"},
      {"a sleep", "- / open n3 p1 a3 e1 l2 d0"},
      {"a timeout 2 1", "timeout / open n3 p1 a3 e1 l2 d0"},
      {"a wake", "- / open n3 p1 a3 e1 l2 d0"},
      {"a timeout 2 1", "- / open n3 p1 a3 e1 l2 d0"},
      {"a data z", "out | o DATA 3#1 c0 t1 | a 3#1/2 / open n4 p2 a4 e1 l3 d0"},
      {"a wake", "- / open n4 p2 a4 e1 l3 d0"},
  }, bridge_config());
  // Retries wait for their backoff, whose due time saturates; CLOSE forgets the pending envelopes and awaits its own
  // acknowledgement. Without a clock, envelopes carry sent_at 0.
  run_steps({
      {"a start", "out | o START 1#1 c0 t0 | a 1#1/3 / started n2 p1 a1 l1"},
      {"a timeout 1 1 @1000", "timeout | retry / waiting n2 p1 a1 l1 d500"},
      {"a timeout 1 1 @1500", "out | o START 1#2 c0 t0 | a 1#2/3 / started n2 p1 a2 l1 d500"},
      {"a timeout 1 2 @18446744073709551400", "timeout | retry / waiting n2 p1 a2 l1 d500"},
      {"a timeout 1 2 @18446744073709551614", "- / waiting n2 p1 a2 l1 d500"},
      {"a close bye", "out | o CLOSE 2#1 c0 t0 | a 2#1/3 / closed n3 p1 a3 l2 d500"},
      {"a timeout 1 2", "- / closed n3 p1 a3 l2 d500"},
      {"a timeout 2 1", "timeout | retry | out | o CLOSE 2#2 c0 t0 | a 2#2/3 / closed n3 a4 l2 d500"},
      {"b ack 2", "out | o ACK 1#1 c0 t0 / open n2 l1"},
      {"a recv 1", "cursor | in | acked | k 2 | c 1 / closed c1 n3 a4 k1 l1 d500"},
      {"a recv 1 seq 2 error boom", "cursor | in | c 2 | e boom / errored c2 n3 a4 k1 e1 l2 d500"},
      {"a end boom", "protocol | e s: inbound protocol ERROR boom is local misuse; remote errors must arrive as DATA "
                     "envelope facts / errored c2 n3 a4 k1 e2 l2 d500"},
  }, bridge_config(retry_backoff::Fixed{500}, 3, nullptr));
  // Refused input becomes events; a refused send uses up no seq.
  run_steps({
      {"b emptykey", "protocol | e wireBridgeEnvelope: idempotency_key must be non-empty / errored e1"},
      {"b data x", "out | o DATA 1#1 c0 t1 | a 1#1/2 / open n2 p1 a1 e1 l1"},
      {"b close", "out | o CLOSE 2#1 c0 t1 | a 2#1/2 / closed n3 p1 a2 e1 l2"},
      {"a junk", "protocol | e wireBridge: inbound DATA must carry a wire bridge envelope / errored e1"},
      {"a junk command", "protocol | e wireBridge: command DATA must carry a wire bridge command / errored e2"},
      {"a ack 0", "protocol | e wireBridge: ack command ack_for_seq must be positive / errored e3"},
      {"a nack 0 r", "protocol | e wireBridge: nack command ack_for_seq must be positive / errored e4"},
      {"a timeout 0 1", "protocol | e wireBridge: ack-timeout command seq must be positive / errored e5"},
      {"a timeout 1 0", "protocol | e wireBridge: ack-timeout command attempt must be positive / errored e6"},
      {"a recv 1 seq 0 as t", "protocol | e wireBridgeEnvelope: seq must be positive / errored e7"},
      {"a recv 1 cursor 5", "cursor | in | c 1 / errored c1 e7"},
      {"a recv 2 cursor 4", "protocol | e s: inbound cursor 4 regressed below 5 / errored c1 e8"},
      {"a recv 2 cursor 5", "cursor | in | c 2 / closed c2 e8 l2"},
      {"a lastseq", "- / closed c2 e8 l2"},
      {"a start", "out | o START 18446744073709551614#1 c2 t1 | a 18446744073709551614#1/2 / started c2 "
                  "n18446744073709551615 p1 a1 e8 l18446744073709551614"},
      {"a start", "protocol | e s: next outbound seq exceeded u64::MAX / errored c2 n18446744073709551615 p1 a1 e9 "
                  "l18446744073709551614"},
      {"a end", "protocol | protocol | e wireBridge: inbound DATA must carry a wire bridge envelope | e s: "
                     "inbound protocol COMPLETE is local misuse; remote completion must arrive as a DATA envelope "
                     "fact / errored c2 n18446744073709551615 p1 a1 e11 l18446744073709551614"},
  }, bridge_config());
}

// The session state as the processor node holds it: "next inbound peer pending armed", or "none".
std::string shown_state(const UncountedNode& events) {
  auto cell = cached_as_bridge_record(events);
  if (!cell) return "none";
  auto s = cell->borrow();
  std::ostringstream out;
  out << s->next_outbound_seq << " " << s->inbound_cursor << " " << s->peer_cursor << " " << s->pending.size()
      << (s->deactivation_hook_armed ? " armed" : "");
  return out.str();
}

TEST(WireBridgeSession, StateLivesInTheProcessorNodeAcrossDeactivation) {
  BridgePeer a(bridge_config());
  a.unsubscribe();
  set_ctx_state(a.bridge.events, make_value<int>(5));  // not a bridge state: the first run installs one
  EXPECT_EQ(shown_state(a.bridge.events), "none");
  a.subscribe();
  a.command(bridge_command::Data{bytes_of_text("x"), {}, {}});
  BridgeEnvelope echo = a.sent(0);
  echo.cursor = 4;
  a.receive(echo);
  const auto installed = cached_as_bridge_record(a.bridge.events);
  EXPECT_EQ(shown_state(a.bridge.events), "2 1 4 1 armed");
  a.unsubscribe();  // forgets what is pending, keeps the counters and the state itself
  EXPECT_EQ(shown_state(a.bridge.events), "2 1 4 0");
  EXPECT_EQ(cached_as_bridge_record(a.bridge.events), installed);
  a.subscribe();
  a.command(bridge_command::Start{});
  EXPECT_EQ(a.tap(kOutbound).shown(), "o DATA 1#1 c0 t1 | o START 2#1 c1 t1");
}

TEST(WireBridgeSession, RetryDelaysSaturateAndKeepTheirCap) {
  using namespace retry_backoff;
  const std::tuple<WireBridgeRetryBackoff, std::uint32_t, std::uint64_t> rows[] = {
      {Linear{100, 50, 180}, 1, 150}, {Linear{100, 50, 180}, 2, 180}, {Linear{1, UINT64_MAX, {}}, 2, UINT64_MAX},
      {Exponential{2, 100, {}}, 3, 800}, {Exponential{65536, 1, {}}, 2, ~0u}, {Exponential{3, UINT64_MAX, 9}, 1, 9},
      {Fibonacci{100, {}}, 5, 800}, {Fibonacci{1, {}}, ~0u, ~0u}, {Fibonacci{UINT64_MAX, 250}, 3, 250}};
  for (const auto& [backoff, attempt, delay] : rows) EXPECT_EQ(retry_delay_ms(backoff, attempt), delay) << attempt;
}

}  // namespace
