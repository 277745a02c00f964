// A dep sink serves a node of the wave owner's core without holding it, and
// any other node (of another core, or outside a wave) through a hold: both
// roads must deliver the same messages in the same order. The holding road
// records every DATA the general way, so the same table also holds the
// plain DATA's record to it.

#include <gtest/gtest.h>

#include <optional>

#include "node/topology/node_ops.hpp"
#include "node/wave/pending.hpp"
#include "test_support.hpp"

using namespace korvalinth;
using namespace korvalinth::test;

namespace {

// A graph shape on one core: its source, the node whose messages are
// recorded, and the nodes that keep them alive.
struct Shape {
  NodeHandle source;
  NodeHandle tail;
  std::vector<NodeHandle> kept;
};

Shape chain(const CoreRef& core, int length) {
  Shape s;
  s.source = make_state(core, iv(0));
  NodeHandle last = s.source.promote_counted();
  for (int i = 0; i < length; ++i) {
    s.kept.push_back(last.promote_counted());
    last = make_map(core, last, [](int x) { return x + 1; });
  }
  s.tail = std::move(last);
  return s;
}

Shape diamond(const CoreRef& core) {
  Shape s;
  s.source = make_state(core, iv(0));
  NodeHandle b = make_map(core, s.source, [](int x) { return x + 1; });
  NodeHandle c = make_map(core, s.source, [](int x) { return x * 2; });
  s.tail = make_node(core, deps_of({&b, &c}), fn_of([](RunContext& ctx) {
                       emit_data(ctx, iv(int_of(ctx.inputs[0].current) + int_of(ctx.inputs[1].current)));
                     }));
  s.kept.push_back(std::move(b));
  s.kept.push_back(std::move(c));
  return s;
}

// A node that emits twice per run: its dependent gets a second DATA in the
// wave, with the first still its wave value.
Shape emits_twice(const CoreRef& core) {
  Shape s;
  s.source = make_state(core, iv(0));
  NodeHandle twice = make_node(core, deps_of({&s.source}), fn_of([](RunContext& ctx) {
                                 const int v = int_of(ctx.inputs[0].current);
                                 emit_data(ctx, iv(v));
                                 emit_data(ctx, iv(v + 100));
                               }));
  s.tail = make_map(core, twice, [](int x) { return x * 2; });
  s.kept.push_back(std::move(twice));
  return s;
}

// Deps settling at different depths, and three deps of one node.
Shape uneven_fan_in(const CoreRef& core) {
  Shape s;
  s.source = make_state(core, iv(0));
  NodeHandle b = make_map(core, s.source, [](int x) { return x + 1; });
  NodeHandle c = make_map(core, b, [](int x) { return x + 2; });
  NodeHandle d = make_map(core, s.source, [](int x) { return x * 3; });
  s.tail = make_node(core, deps_of({&c, &d, &s.source}), fn_of([](RunContext& ctx) {
                       int sum = 0;
                       for (const auto& in : ctx.inputs) sum += int_of(in.current);
                       emit_data(ctx, iv(sum));
                     }));
  for (NodeHandle* n : {&b, &c, &d}) s.kept.push_back(std::move(*n));
  return s;
}

// A node that emits only values above 6: below, its dependent gets RESOLVED.
Shape filtered(const CoreRef& core) {
  Shape s;
  s.source = make_state(core, iv(0));
  NodeHandle above = make_node(core, deps_of({&s.source}), fn_of([](RunContext& ctx) {
                                 if (int_of(ctx.inputs[0].current) > 6) emit_data(ctx, ctx.inputs[0].current);
                               }));
  s.tail = make_map(core, above, [](int x) { return x - 1; });
  s.kept.push_back(std::move(above));
  return s;
}

// A fan-out of four dependants of the source, summed by the tail: the
// source's DIRTY and DATA reach them as runs of one core's dep sinks.
Shape fan_out(const CoreRef& core) {
  Shape s;
  s.source = make_state(core, iv(0));
  std::vector<NodeHandle> middles;
  for (int k = 1; k <= 4; ++k) middles.push_back(make_map(core, s.source, [k](int x) { return x * k; }));
  s.tail = make_node(core, deps_of({&middles[0], &middles[1], &middles[2], &middles[3]}),
                     fn_of([](RunContext& ctx) {
                       int sum = 0;
                       for (const auto& in : ctx.inputs) sum += int_of(in.current);
                       emit_data(ctx, iv(sum));
                     }));
  for (NodeHandle& m : middles) s.kept.push_back(std::move(m));
  return s;
}

// The same fan-out whose dependants emit nothing after their first run:
// each settles into the tail, its lone dep sink, which then resolves.
Shape fan_out_settling(const CoreRef& core) {
  Shape s;
  s.source = make_state(core, iv(0));
  std::vector<NodeHandle> middles;
  for (int k = 0; k < 4; ++k)
    middles.push_back(make_node(core, deps_of({&s.source}), fn_of([](RunContext& ctx) {
                                  if (int_of(ctx.inputs[0].current) == 0) emit_data(ctx, iv(0));
                                })));
  s.tail = make_node(core, deps_of({&middles[0], &middles[1], &middles[2], &middles[3]}),
                     fn_of([](RunContext& ctx) { emit_data(ctx, iv(static_cast<int>(ctx.inputs.size()))); }));
  for (NodeHandle& m : middles) s.kept.push_back(std::move(m));
  return s;
}

// Where the source's sets come from: the shape's own core's wave, a wave
// that another core's node owns, or such a wave in which a subscriber of
// the source sets a node of the owner's core at its DIRTY, touching that
// core between the source's touch and its dependants', or in which the
// setter touches a node of the shape first (its DIRTY then enters it
// without a hold, and goes on to nodes the wave has not touched), or both:
// the owner's core's touch then lies between the source's touch and those
// of the nodes its DIRTY goes on to.
enum class SetFrom {
  OwnCore,
  OtherCore,
  OtherCoreTouchedBetween,
  OtherCoreNodeTouchedFirst,
  OtherCoreNodeTouchedFirstAndBetween
};

// The tail's messages for two sets of the source, then the pins each node
// of both cores holds after them.
std::vector<std::string> run_sets(Shape (*make)(const CoreRef&), SetFrom from) {
  auto core = GraphCore::create();
  Shape shape = make(core);
  auto other = GraphCore::create();
  NodeHandle side = make_state(other, iv(0));
  std::optional<Subscribed> side_setter;
  if (from == SetFrom::OtherCoreTouchedBetween || from == SetFrom::OtherCoreNodeTouchedFirstAndBetween) {
    // Subscribed before the tail: first in the source's list, ahead of its
    // dependants' dep sinks.
    side_setter = subscribe_recording(shape.source);
    side_setter->sink->on_message = [&side](const Message& m) {
      if (m.kind() == MessageKind::Dirty) node_set(side, iv(int_of(cache_of(side)) + 1));
    };
  }
  auto sub = subscribe_recording(shape.tail);
  NodeHandle trigger = make_state(other, iv(0));
  NodeHandle setter = make_node(other, deps_of({&trigger}), fn_of([&](RunContext& ctx) {
                                  const int v = int_of(ctx.inputs[0].current);
                                  if (v != 0) {
                                    // In a chain, the source's dependant.
                                    if (from == SetFrom::OtherCoreNodeTouchedFirst ||
                                        from == SetFrom::OtherCoreNodeTouchedFirstAndBetween)
                                      touch_in_current_frame(shape.kept[shape.kept.size() > 1 ? 1 : 0]);
                                    node_set(shape.source, iv(v));
                                  }
                                  emit_data(ctx, ctx.inputs[0].current);
                                }));
  auto setter_sub = subscribe_recording(setter);
  for (int v : {5, 9}) {
    if (from == SetFrom::OwnCore)
      node_set(shape.source, iv(v));
    else
      node_set(trigger, iv(v));
  }
  std::vector<std::string> log = sub.log();
  for (const NodeHandle* n : {&shape.source, &shape.tail}) log.push_back("pins " + std::to_string(pin_count(*n)));
  for (const NodeHandle& n : shape.kept) log.push_back("pins " + std::to_string(pin_count(n)));
  for (const NodeHandle* n : {&side, &trigger, &setter}) log.push_back("pins " + std::to_string(pin_count(*n)));
  return log;
}

}  // namespace

TEST(DepSinkRoads, AShapeSetFromAnotherCoresWaveDeliversAsItsOwnWaveDoes) {
  const std::vector<std::pair<const char*, Shape (*)(const CoreRef&)>> shapes = {
      {"chain of 1", [](const CoreRef& c) { return chain(c, 1); }},
      {"chain of 4", [](const CoreRef& c) { return chain(c, 4); }},
      {"diamond", diamond},
      {"a dep emitting twice per wave", emits_twice},
      {"deps settling at different depths", uneven_fan_in},
      {"a dep that resolves", filtered},
      {"a fan-out", fan_out},
      {"a fan-out settling into its lone dependant", fan_out_settling},
  };
  for (const auto& [name, make] : shapes) {
    SCOPED_TRACE(name);
    const std::vector<std::string> own = run_sets(make, SetFrom::OwnCore);
    EXPECT_EQ(run_sets(make, SetFrom::OtherCore), own);
    EXPECT_EQ(run_sets(make, SetFrom::OtherCoreTouchedBetween), own);
    EXPECT_EQ(run_sets(make, SetFrom::OtherCoreNodeTouchedFirst), own);
    EXPECT_EQ(run_sets(make, SetFrom::OtherCoreNodeTouchedFirstAndBetween), own);
    EXPECT_NE(std::find(own.begin(), own.end(), "DIRTY"), own.end());
  }
}
