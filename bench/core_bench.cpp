// Microbenchmarks of the core: propagation through native node functions,
// delivery to many sinks, batches, strict JSON encoding and content ids.
// One iteration of a propagation benchmark is one wave (one batch for
// BM_BatchSets and BM_BatchSources); each reports time and heap allocations
// per node (or per sink, set, source) and per wave. The values set come
// ready-made, so the allocations counted are the core's own. The build
// benchmark reports bytes per node.
//
// --threaded starts and joins a thread before any benchmark: glibc then
// treats the process as multi-threaded for good, which makes every
// shared_ptr copy atomic. Run the binary once without and once with it.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <sys/single_threaded.h>
#include <thread>
#include <vector>

#include "alloc_counter.hpp"
#include "graph/graph_container.hpp"
#include "graph/topology_group.hpp"
#include "json/json_value.hpp"
#include "json/strict_json.hpp"
#include "node/wave/batch.hpp"
#include "node/topology/node_ops.hpp"
#include "node/arena/node_version.hpp"
#include "node/topology/subscribe.hpp"
#include "wire/codec/edge_frame.hpp"
#include "wire/codec/envelope_codec.hpp"

namespace korvalinth::bench {
namespace {

using Int = std::int64_t;

Int int_of(const SharedValue& v) {
  const Int* i = value_cast<Int>(v);
  return i ? *i : 0;
}

// dep + 1.
struct AddOne final : NodeFn {
  void run(RunContext& ctx) override { emit_data(ctx, make_value<Int>(int_of(ctx.inputs[0].current) + 1)); }
};

// The sum of every dep.
struct Sum final : NodeFn {
  void run(RunContext& ctx) override {
    Int total = 0;
    for (const DepInput& in : ctx.inputs) total += int_of(in.current);
    emit_data(ctx, make_value<Int>(total));
  }
};

// Reads its dep and emits nothing (an effect).
struct Observe final : NodeFn {
  Int* last;
  explicit Observe(Int* l) : last(l) {}
  void run(RunContext& ctx) override { *last = int_of(ctx.inputs[0].current); }
};

// Counts DATA and keeps the last value.
struct CountingSink final : Sink {
  std::uint64_t data = 0;
  Int last = 0;
  void call(const Message& m) override {
    if (m.kind() != MessageKind::Data) return;
    ++data;
    last = int_of(m.value());
  }
};

SharedValue iv(Int x) { return make_value<Int>(x); }

// Two distinct values to set in turn: every set is a change, and the wave
// allocates nothing on the caller's side.
struct Alternating {
  SharedValue values[2] = {iv(1), iv(2)};
  const SharedValue& operator[](Int wave) const { return values[wave & 1]; }
  static Int value(Int wave) { return (wave & 1) + 1; }
};

// Nanoseconds per unit when each iteration does `units` units of work.
benchmark::Counter ns_per(double units) {
  return benchmark::Counter(units * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Time and allocation counters per unit of work (node, sink, set) of one
// iteration, named after the unit: ns_per_node, allocs_per_node, ...
class PerUnit {
 public:
  PerUnit(benchmark::State& state, double units, const std::string& unit)
      : state_(state), units_(units), unit_(unit), start_(alloc_counts()) {}
  ~PerUnit() {
    const double iterations = static_cast<double>(state_.iterations());
    const double allocations = static_cast<double>(alloc_counts().allocations - start_.allocations);
    state_.counters["allocs_per_wave"] = allocations / iterations;
    state_.counters["allocs_per_" + unit_] = allocations / iterations / units_;
    state_.counters["ns_per_" + unit_] = ns_per(units_);
    state_.counters["single_threaded"] = __libc_single_threaded ? 1 : 0;
    state_.SetItemsProcessed(static_cast<std::int64_t>(iterations * units_));
  }

 private:
  benchmark::State& state_;
  double units_;
  std::string unit_;
  AllocCounts start_;
};

NodeHandle chain_node(GraphContainer& g, const NodeHandle& dep) {
  std::vector<NodeHandle> deps;
  deps.push_back(dep.promote_counted());
  return g.node(std::move(deps), std::make_shared<AddOne>(), NodeOptions{});
}

// A state node and a chain of n AddOne nodes; the tail is subscribed.
void BM_Chain(benchmark::State& state) {
  const Int n = state.range(0);
  GraphRef g = GraphContainer::create("chain");
  NodeHandle head = g->state(iv(0), "head");
  std::vector<NodeHandle> nodes;
  nodes.push_back(head.promote_counted());
  for (Int i = 0; i < n; ++i) nodes.push_back(chain_node(*g, nodes.back()));
  auto sink = std::make_shared<CountingSink>();
  UnsubscribeFn sub = node_subscribe(nodes.back(), sink);
  const Alternating values;
  Int wave = 0;
  // The first wave sizes the scratch later waves reuse: counted apart.
  node_set(head, values[++wave]);
  {
    PerUnit per(state, static_cast<double>(n), "node");
    for (auto _ : state) node_set(head, values[++wave]);
  }
  if (sink->last != Alternating::value(wave) + n) state.SkipWithError("chain computed a wrong value");
  sub.call();
}
BENCHMARK(BM_Chain)->Arg(10)->Arg(200);

// A diamond: a -> b, c -> d (d sums b and c); d subscribed. Per node: the
// three that run.
void BM_Diamond(benchmark::State& state) {
  GraphRef g = GraphContainer::create("diamond");
  NodeHandle a = g->state(iv(0), "a");
  NodeHandle b = chain_node(*g, a);
  NodeHandle c = chain_node(*g, a);
  std::vector<NodeHandle> deps;
  deps.push_back(b.promote_counted());
  deps.push_back(c.promote_counted());
  NodeHandle d = g->node(std::move(deps), std::make_shared<Sum>(), NodeOptions{});
  auto sink = std::make_shared<CountingSink>();
  UnsubscribeFn sub = node_subscribe(d, sink);
  const Alternating values;
  Int wave = 0;
  const std::uint64_t before = sink->data;
  {
    PerUnit per(state, 3, "node");
    for (auto _ : state) node_set(a, values[++wave]);
  }
  if (sink->last != 2 * (Alternating::value(wave) + 1) || sink->data - before != static_cast<std::uint64_t>(state.iterations()))
    state.SkipWithError("diamond ran its bottom node more than once per wave");
  sub.call();
}
BENCHMARK(BM_Diamond);

// One state node with n subscribed sinks.
void BM_FanOutSinks(benchmark::State& state) {
  const Int n = state.range(0);
  GraphRef g = GraphContainer::create("sinks");
  NodeHandle head = g->state(iv(0), "head");
  std::vector<std::shared_ptr<CountingSink>> sinks;
  std::vector<UnsubscribeFn> subs;
  for (Int i = 0; i < n; ++i) {
    sinks.push_back(std::make_shared<CountingSink>());
    subs.push_back(node_subscribe(head, sinks.back()));
  }
  const Alternating values;
  Int wave = 0;
  {
    PerUnit per(state, static_cast<double>(n), "sink");
    for (auto _ : state) node_set(head, values[++wave]);
  }
  for (auto& s : sinks)
    if (s->last != Alternating::value(wave)) state.SkipWithError("a sink missed the last value");
  for (auto& s : subs) s.call();
}
BENCHMARK(BM_FanOutSinks)->Arg(1000);

// One state node with n effect nodes.
void BM_FanOutEffects(benchmark::State& state) {
  const Int n = state.range(0);
  GraphRef g = GraphContainer::create("effects");
  NodeHandle head = g->state(iv(0), "head");
  std::vector<Int> seen(static_cast<std::size_t>(n));
  std::vector<NodeHandle> effects;
  std::vector<UnsubscribeFn> subs;
  for (Int i = 0; i < n; ++i) {
    std::vector<NodeHandle> deps;
    deps.push_back(head.promote_counted());
    effects.push_back(g->effect(std::move(deps), std::make_shared<Observe>(&seen[i]), std::nullopt));
    subs.push_back(subscribe_keepalive_core(effects.back()));
  }
  const Alternating values;
  Int wave = 0;
  {
    PerUnit per(state, static_cast<double>(n), "node");
    for (auto _ : state) node_set(head, values[++wave]);
  }
  for (Int s : seen)
    if (s != Alternating::value(wave)) state.SkipWithError("an effect missed the last value");
  for (auto& s : subs) s.call();
}
BENCHMARK(BM_FanOutEffects)->Arg(1000);

// n state nodes summed by one node, whose sink counts and keeps the sum.
struct SummedSources {
  GraphRef graph;
  std::vector<NodeHandle> states;
  NodeHandle total;
  std::shared_ptr<CountingSink> sink = std::make_shared<CountingSink>();
  UnsubscribeFn sub;

  SummedSources(Int n, const char* name) : graph(GraphContainer::create(name)) {
    std::vector<NodeHandle> deps;
    for (Int i = 0; i < n; ++i) {
      states.push_back(graph->state(iv(0), std::nullopt));
      deps.push_back(states.back().promote_counted());
    }
    total = graph->node(std::move(deps), std::make_shared<Sum>(), NodeOptions{});
    sub = node_subscribe(total, sink);
  }
};

// n state nodes summed by one node; each wave sets one of them and the sum
// reads all n, so a node here is a source.
void BM_FanIn(benchmark::State& state) {
  const Int n = state.range(0);
  SummedSources graph(n, "fanin");
  const std::vector<NodeHandle>& states = graph.states;
  // Each pass over the sources sets the other of two values.
  const Alternating ready;
  std::vector<Int> values(static_cast<std::size_t>(n), 0);
  Int i = 0;
  // The first wave sizes the scratch later waves reuse: counted apart. The
  // loop's first set gives the source this value again.
  node_set(states[0], ready[0]);
  {
    PerUnit per(state, static_cast<double>(n), "node");
    for (auto _ : state) {
      const std::size_t k = static_cast<std::size_t>(i % n);
      values[k] = Alternating::value(i / n);
      node_set(states[k], ready[i / n]);
      ++i;
    }
  }
  Int expected = 0;
  for (Int x : values) expected += x;
  if (graph.sink->last != expected) state.SkipWithError("fan-in computed a wrong sum");
  graph.sub.call();
}
BENCHMARK(BM_FanIn)->Arg(1000);

// n sets of one state inside one batch; a dependent sees the last. The sets
// of a batch use n ready values, shifted by one every other batch so that
// each batch ends on a new value.
void BM_BatchSets(benchmark::State& state) {
  const Int n = state.range(0);
  GraphRef g = GraphContainer::create("batch");
  NodeHandle head = g->state(iv(0), "head");
  NodeHandle tail = chain_node(*g, head);
  auto sink = std::make_shared<CountingSink>();
  UnsubscribeFn sub = node_subscribe(tail, sink);
  std::vector<SharedValue> ready;
  for (Int i = 0; i <= n; ++i) ready.push_back(iv(i));
  Int shift = 0;
  {
    PerUnit per(state, static_cast<double>(n), "set");
    for (auto _ : state) {
      shift ^= 1;
      run_batch([&] {
        for (Int i = 0; i < n; ++i) node_set(head, ready[static_cast<std::size_t>(i + shift)]);
        return false;
      });
    }
  }
  const Int last_set = n - 1 + shift;
  if (sink->last != last_set + 1) state.SkipWithError("batch delivered a wrong value");
  sub.call();
}
BENCHMARK(BM_BatchSets)->Arg(10000);

// n state nodes summed by one node, each set once inside one batch: the
// batch's end flushes n deferred sets and the sum runs once. Per source.
void BM_BatchSources(benchmark::State& state) {
  const Int n = state.range(0);
  SummedSources graph(n, "batch-sources");
  const Alternating values;
  Int batch = 0;
  const std::uint64_t before = graph.sink->data;
  {
    PerUnit per(state, static_cast<double>(n), "source");
    for (auto _ : state) {
      ++batch;
      run_batch([&] {
        for (const NodeHandle& s : graph.states) node_set(s, values[batch]);
        return false;
      });
    }
  }
  if (graph.sink->last != n * Alternating::value(batch) ||
      graph.sink->data - before != static_cast<std::uint64_t>(state.iterations()))
    state.SkipWithError("the batch's sum is wrong or ran more than once");
  graph.sub.call();
}
BENCHMARK(BM_BatchSources)->Arg(100);

// Building n registered nodes (a state and a chain of AddOne), with the
// memory the build leaves behind per node.
void BM_BuildNodes(benchmark::State& state) {
  const Int n = state.range(0);
  double bytes_per_node = 0;
  for (auto _ : state) {
    const AllocCounts before = alloc_counts();
    GraphRef g = GraphContainer::create("build");
    std::vector<NodeHandle> nodes;
    nodes.reserve(static_cast<std::size_t>(n));
    nodes.push_back(g->state(iv(0), std::nullopt));
    for (Int i = 1; i < n; ++i) nodes.push_back(chain_node(*g, nodes.back()));
    const AllocCounts after = alloc_counts();
    // The caller's own vector of handles is not part of a node.
    const double own = static_cast<double>(nodes.capacity() * sizeof(NodeHandle));
    bytes_per_node = (static_cast<double>(after.live_bytes - before.live_bytes) - own) / static_cast<double>(n);
    state.PauseTiming();
    nodes.clear();
    g.reset();
    state.ResumeTiming();
  }
  state.counters["bytes_per_node"] = bytes_per_node;
  state.counters["ns_per_node"] = ns_per(static_cast<double>(n));
}
BENCHMARK(BM_BuildNodes)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

// A record-like JSON value of mixed members.
Json sample_json() {
  Json j = Json::object();
  j["name"] = "sensor-\xC3\xA9t\xC3\xA9 \"north\"";
  j["id"] = 123456789;
  j["ratio"] = 0.125;
  j["temperature"] = -17.25;
  j["active"] = true;
  j["tags"] = Json::array({"alpha", "beta", "gamma", "delta"});
  Json readings = Json::array();
  for (int i = 0; i < 32; ++i) readings.push_back(i * 1.5);
  j["readings"] = readings;
  Json nested = Json::object();
  for (int i = 0; i < 8; ++i) nested["k" + std::to_string(i)] = Json::object({{"x", i}, {"y", -i}, {"label", "p"}});
  j["points"] = nested;
  j["none"] = nullptr;
  return j;
}

void BM_StrictJsonEncode(benchmark::State& state) {
  const Json j = sample_json();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = strict_json_encode(j);
    bytes = text->size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}
BENCHMARK(BM_StrictJsonEncode);

void BM_StrictJsonCheck(benchmark::State& state) {
  const Json j = sample_json();
  for (auto _ : state) {
    auto r = strict_json_check(j, "$", 0);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_StrictJsonCheck);

void BM_ContentIdInt(benchmark::State& state) {
  const Fnv1a64Hasher hasher;
  const SharedValue v = iv(1234567);
  for (auto _ : state) {
    auto cid = data_content_id(hasher, v.get());
    benchmark::DoNotOptimize(cid);
  }
}
BENCHMARK(BM_ContentIdInt);

void BM_ContentIdJson(benchmark::State& state) {
  const Fnv1a64Hasher hasher;
  const SharedValue v = make_json_value(sample_json());
  for (auto _ : state) {
    auto cid = data_content_id(hasher, v.get());
    benchmark::DoNotOptimize(cid);
  }
}
BENCHMARK(BM_ContentIdJson);

// A content-versioned state node set with fresh integers (one DATA check,
// one canonical encoding and one content id per set).
void BM_SetContentVersioned(benchmark::State& state) {
  GraphRef g = GraphContainer::create("versioned");
  g->set_default_versioning(VersioningForm{VersioningForm::Choice::Level1, nullptr});
  NodeHandle head = g->state(iv(0), "head");
  auto sink = std::make_shared<CountingSink>();
  UnsubscribeFn sub = node_subscribe(head, sink);
  Int v = 0;
  {
    PerUnit per(state, 1, "set");
    for (auto _ : state) node_set(head, iv(++v));
  }
  if (version_metadata(head)->counter != static_cast<std::uint64_t>(v)) state.SkipWithError("version did not advance");
  sub.call();
}
BENCHMARK(BM_SetContentVersioned);

// Canonical decoding of 1 MiB of wire messages, each carrying a DATA edge
// frame whose value has range(0) bytes: the check walks, copies, re-encodes
// and compares each message once, so MB/s should hold for any frame size.
constexpr std::size_t kWireBenchBytes = std::size_t{1} << 20;

WireEdgeFrame bench_frame(std::size_t value_size, std::size_t n) {
  return {WireEdgeFrameKind::Data, "edge-" + std::to_string(n % 64), "cause-" + std::to_string(n),
          Bytes(value_size, static_cast<std::uint8_t>(n))};
}

template <class Encode, class Decode>
void decode_wire_messages(benchmark::State& state, Encode encode, Decode decode) {
  std::vector<Bytes> messages;
  std::size_t total = 0;
  for (std::size_t n = 0; total < kWireBenchBytes; ++n) {
    messages.push_back(encode(bench_frame(static_cast<std::size_t>(state.range(0)), n)));
    total += messages.back().size();
  }
  for (auto _ : state) {
    for (const Bytes& m : messages) {
      auto decoded = decode(m);
      if (!decoded) state.SkipWithError(decoded.error().message.c_str());
      benchmark::DoNotOptimize(decoded);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
  state.counters["messages"] = static_cast<double>(messages.size());
}

void BM_DecodeWireFrames(benchmark::State& state) {
  decode_wire_messages(state, encode_wire_edge_frame, check_canonical_wire_edge_frame);
}
BENCHMARK(BM_DecodeWireFrames)->Arg(16)->Arg(256)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_DecodeWireEnvelopes(benchmark::State& state) {
  auto encode = [](WireEdgeFrame frame) {
    BridgeEnvelope e{"session", 42, 41, "[\"session\",\"42\"]", 1, 2, 1, std::nullopt, std::nullopt,
                     WireBridgeEnvelopeType::Data, bridge_payload::Data{std::move(frame)}};
    return *encode_wire_bridge_envelope(e);
  };
  decode_wire_messages(state, encode, decode_wire_bridge_envelope);
}
BENCHMARK(BM_DecodeWireEnvelopes)->Arg(16)->Arg(256)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korvalinth::bench

namespace {
// Removes --threaded from the arguments; true when it was there.
bool take_threaded_flag(int& argc, char** argv) {
  bool found = false;
  int kept = 0;
  for (int i = 0; i < argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], "--threaded") == 0) {
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return found;
}
}  // namespace

int main(int argc, char** argv) {
  const bool threaded = take_threaded_flag(argc, argv);
  if (threaded) std::thread([] {}).join();
  benchmark::AddCustomContext("threaded", threaded ? "true" : "false");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
