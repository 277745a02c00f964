#pragma once
// Edge-group tests: records written and read as short texts.
//   traffic in: "D a c1" DIRTY, "V a c1 xy" DATA (no value when omitted),
//               "I c1 a" upstream issue (cause and edge optional), "E" end, "C" command
//   gate in:    "collecting c 1 0", "released c 2", "issue"
//   out:        "collecting c1 1/0", "released c1 2", "release c1 a=x b=y", "cmd DIRTY a c1",
//               "frame DATA a c1 x", "end", "bytes x", issues as "code edge cause active: message"
//               ("-" for none), statuses as "state cause dirty/data rel=n iss=n [last=code]"

#include <memory>
#include <sstream>

#include "graph/graph_container.hpp"
#include "node/wave/wave_scope.hpp"
#include "test_support.hpp"
#include "wire/edge_group/edge_group_status.hpp"
#include "wire_test_support.hpp"

namespace korvalinth::test {

// Four words, "" past the last.
inline std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> w(4);
  for (auto& x : w) in >> x;
  return w;
}
inline std::optional<std::string> word(const std::string& w) { return w.empty() ? std::nullopt : std::optional(w); }

inline WireEdgeFrame edge_frame(bool dirty, std::string edge, std::string cause, std::optional<std::string> value = {}) {
  std::optional<Bytes> bytes = value ? std::optional(bytes_of_text(*value)) : std::nullopt;
  return WireEdgeFrame{dirty ? WireEdgeFrameKind::Dirty : WireEdgeFrameKind::Data, edge, cause, bytes};
}

inline SharedValue traffic(const std::string& text) {
  auto w = words(text);
  WireEdgeGroupTraffic t = edge_traffic::Command{bridge_command::Start{}};
  if (w[0] == "D" || w[0] == "V") t = edge_traffic::Frame{edge_frame(w[0] == "D", w[1], w[2], word(w[3]))};
  if (w[0] == "I") t = edge_traffic::Issue{{WireEdgeGroupIssueCode::MalformedFrame, "up", word(w[2]), word(w[1]), {}}};
  if (w[0] == "E") t = edge_traffic::End{};
  return make_value<WireEdgeGroupTraffic>(std::move(t));
}

inline SharedValue gate_event_of(const std::string& text) {
  auto w = words(text);
  WireEdgeGroupGateEvent e = gate_event::Issue{{WireEdgeGroupIssueCode::DuplicateDirty, "gi", {}, {}, {}}};
  if (w[0] == "collecting") e = gate_event::Collecting{w[1], std::stoull(w[2]), std::stoull(w[3])};
  if (w[0] == "released") e = gate_event::Released{w[1], std::stoull(w[2])};
  return make_value<WireEdgeGroupGateEvent>(std::move(e));
}

inline std::string opt(const std::optional<std::string>& s) { return s ? *s : "-"; }
inline std::string describe(const WireEdgeGroupIssue& i) {
  return std::string(issue_code_text(i.code)) + " " + opt(i.edge_id) + " " + opt(i.cause_id) + " " +
         opt(i.active_cause_id) + ": " + i.message;
}
inline std::string describe(const WireEdgeFrame& f) {
  return (f.kind == WireEdgeFrameKind::Dirty ? "DIRTY " : "DATA ") + f.edge_id + " " + f.cause_id +
         (f.value ? " " + text_of(*f.value) : "");
}
inline std::string describe(const WireBridgeCommand& c) {
  return "cmd " + describe(std::get<WireEdgeFrame>(std::get<bridge_command::Data>(c).payload));
}

// Any value an edge group's nodes emit, as text.
inline std::string describe_value(const SharedValue& v) {
  if (const auto* e = value_cast<WireEdgeGroupGateEvent>(v)) {
    if (const auto* c = std::get_if<gate_event::Collecting>(e))
      return "collecting " + c->cause_id + " " + std::to_string(c->dirty_count) + "/" + std::to_string(c->data_count);
    if (const auto* r = std::get_if<gate_event::Released>(e))
      return "released " + r->cause_id + " " + std::to_string(r->edge_count);
    return describe(std::get<gate_event::Issue>(*e).issue);
  }
  if (const auto* r = value_cast<WireEdgeGroupRelease>(v)) {
    std::string s = "release " + r->cause_id;
    for (const auto& [edge, bytes] : r->values) s += " " + edge + "=" + text_of(bytes);
    return s;
  }
  if (const auto* t = value_cast<WireEdgeGroupTraffic>(v)) {
    if (const auto* c = std::get_if<edge_traffic::Command>(t)) return describe(*c->command);
    if (const auto* f = std::get_if<edge_traffic::Frame>(t)) return "frame " + describe(f->frame);
    if (const auto* i = std::get_if<edge_traffic::Issue>(t)) return describe(i->issue);
    return "end";
  }
  if (const auto* i = value_cast<WireEdgeGroupIssue>(v)) return describe(*i);
  if (const auto* c = value_cast<WireBridgeCommand>(v)) return describe(*c);
  if (const auto* b = value_cast<Bytes>(v)) return "bytes " + text_of(*b);
  const auto& s = *value_cast<WireEdgeGroupStatus>(v);
  return std::string(group_state_text(s.state)) + " " + opt(s.active_cause_id) + " " + std::to_string(s.dirty) + "/" +
         std::to_string(s.data) + " rel=" + std::to_string(s.released) + " iss=" + std::to_string(s.issues) +
         (s.last_issue ? " last=" + std::string(issue_code_text(s.last_issue->code)) : "");
}

// The DATA values of every node watched, as text, in one log.
struct LogSink final : Sink {
  std::vector<std::string> log;
  void call(const Message& m) override {
    if (m.kind() == MessageKind::Data) log.push_back(describe_value(m.value()));
  }
};
struct Watch {
  std::shared_ptr<LogSink> sink = std::make_shared<LogSink>();
  std::vector<UnsubscribeFn> subscriptions;  // kept apart from the sink: no cycle through the node
  Watch(std::initializer_list<const NodeHandle*> nodes) {
    for (const NodeHandle* n : nodes) subscriptions.push_back(node_subscribe(*n, sink));
  }
  std::vector<std::string> take() { return std::exchange(sink->log, {}); }
};

// Runs fn once on node, each given value its own delivery of its dep, in a wave scope.
inline void run_direct(NodeFn& fn, const UncountedNode& node, std::vector<std::vector<SharedValue>> deps) {
  RunContext ctx;
  ctx.node = node;
  for (auto& values : deps) {
    DepInput input;
    for (auto& v : values) {
      input.deliveries_mut().open_list();
      input.deliveries_mut().push(std::move(v));
    }
    ctx.inputs.push_back(std::move(input));
  }
  run_in_wave_scope(node, [&] { fn.run(ctx); });
}

}  // namespace korvalinth::test
