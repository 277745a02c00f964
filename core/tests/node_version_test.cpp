#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "base/fault.hpp"
#include "checkpoint/node_version_json.hpp"
#include "identity/identity_hasher.hpp"
#include "identity/string_tuple_id.hpp"
#include "json/json_value.hpp"
#include "node/arena/node_version.hpp"

using namespace korvalinth;

namespace {

const std::string kCidOfOne = "fnv1a64:af63ac4c86019afc";

std::string cid_of(const SharedValue& v) {
  Fnv1a64Hasher h;
  auto r = data_content_id(h, v.get());
  EXPECT_TRUE(r.has_value()) << r.error();
  return r ? *r : std::string();
}

std::string cid_error(const SharedValue& v) {
  Fnv1a64Hasher h;
  auto r = data_content_id(h, v.get());
  EXPECT_FALSE(r.has_value());
  return r ? std::string() : r.error();
}

std::string marker_cid() {
  Fnv1a64Hasher h;
  return *data_content_id(h, nullptr);
}

// Records which operation was asked.
class TaggingHasher final : public IdentityHasher {
 public:
  std::string node_id(std::string_view b) const override { return "node:" + std::string(b); }
  std::string edge_id(std::string_view b) const override { return "edge:" + std::string(b); }
  std::string content_id(std::string_view b) const override { return "content:" + std::string(b); }
};

}  // namespace

TEST(Fnv1a64, KnownIds) {
  EXPECT_EQ(fnv1a64_id(""), "fnv1a64:cbf29ce484222325");
  EXPECT_EQ(fnv1a64_id("1"), kCidOfOne);
  EXPECT_EQ(fnv1a64_id("a"), "fnv1a64:af63dc4c8601ec8c");
  Fnv1a64Hasher h;
  EXPECT_EQ(h.node_id("1"), kCidOfOne);
  EXPECT_EQ(h.edge_id("1"), kCidOfOne);
  EXPECT_EQ(h.content_id("1"), kCidOfOne);
}

TEST(DataContentId, SupportedTypesShareCanonicalBytes) {
  EXPECT_EQ(cid_of(make_value<std::int64_t>(1)), kCidOfOne);
  EXPECT_EQ(cid_of(make_value<std::int32_t>(1)), kCidOfOne);
  EXPECT_EQ(cid_of(make_value<std::uint32_t>(1)), kCidOfOne);
  EXPECT_EQ(cid_of(make_value<std::uint64_t>(1)), kCidOfOne);
  EXPECT_EQ(cid_of(make_value<double>(1.0)), kCidOfOne);
  EXPECT_EQ(cid_of(make_json_value(Json(1))), kCidOfOne);
  EXPECT_EQ(cid_of(make_json_value(Json(1.0))), kCidOfOne);
  EXPECT_EQ(cid_of(make_value<std::string>("a")), fnv1a64_id("\"a\""));
  EXPECT_EQ(cid_of(make_value<bool>(true)), fnv1a64_id("true"));
  EXPECT_EQ(cid_of(make_value<std::int32_t>(-3)), fnv1a64_id("-3"));
  EXPECT_EQ(cid_of(make_json_value(Json::parse(R"({"b":[1,2.5],"a":null})"))),
            fnv1a64_id(R"({"a":null,"b":[1,2.5]})"));
  EXPECT_EQ(marker_cid(), fnv1a64_id(R"({"@korvalinth/node-version":"v1-absent"})"));
  TaggingHasher tagging;
  EXPECT_EQ(*data_content_id(tagging, make_value<std::int64_t>(7).get()), "content:7");
}

TEST(DataContentId, RefusesWhatIsNotStrictJson) {
  const std::string not_json = "node versioning: DATA at $ is not strict JSON compatible";
  EXPECT_EQ(cid_error(make_value<double>(std::nan(""))), not_json);
  EXPECT_EQ(cid_error(make_value<double>(INFINITY)), not_json);
  EXPECT_EQ(cid_error(make_value<std::vector<int>>()), not_json);
  EXPECT_EQ(cid_error(make_value<float>(1.0f)), not_json);
  const std::string not_canonical = "node versioning: DATA is not strict canonical JSON compatible (D112): ";
  EXPECT_EQ(cid_error(make_value<std::int64_t>(std::int64_t{1} << 53)),
            not_canonical + "strictJsonCodec: JSON integer at $ is outside the safe integer range");
  EXPECT_EQ(cid_error(make_value<double>(-0.0)),
            not_canonical + "strictJsonCodec: JSON number at $ is not strict canonical JSON compatible");
  EXPECT_EQ(cid_error(make_json_value(Json::array({Json::object({{"k", 5e-324}})}))),
            not_canonical + "strictJsonCodec: JSON number at $[0].k is subnormal and not strict canonical JSON compatible");
  EXPECT_EQ(cid_error(make_json_value(Json::array({std::string("\xff")}))),
            not_canonical + "json encode failed: invalid UTF-8 byte at index 0: 0xFF");
}

TEST(DataToJsonValue, ConvertsAndChecks) {
  EXPECT_EQ(*data_to_json_value(*make_value<std::string>("x")), Json("x"));
  EXPECT_EQ(*data_to_json_value(*make_value<std::int32_t>(-2)), Json(-2));
  EXPECT_EQ(*data_to_json_value(*make_value<std::uint64_t>(5)), Json(5));
  EXPECT_EQ(*data_to_json_value(*make_value<double>(0.25)), Json(0.25));
  Json tree = Json::parse(R"({"a":[1,{"b":"c"}]})");
  EXPECT_EQ(*data_to_json_value(*make_json_value(tree)), tree);
  EXPECT_EQ(data_to_json_value(*make_value<std::uint64_t>(std::numeric_limits<std::uint64_t>::max())).error(),
            "node versioning: DATA is not strict canonical JSON compatible (D112): "
            "strictJsonCodec: JSON integer at $ is outside the safe integer range");
  Json deep = Json(1);
  for (int i = 0; i < 129; ++i) deep = Json::array({std::move(deep)});
  EXPECT_NE(data_to_json_value(*make_json_value(std::move(deep))).error().find("exceeds maximum depth 128"),
            std::string::npos);
}

TEST(NodeVersionAdvance, LevelOneWalksCidsAndCounters) {
  NodeVersionEntry entry = new_node_version_entry(NodeVersioning::level1(), nullptr);
  ASSERT_NE(entry.versioning.hasher, nullptr);
  ASSERT_TRUE(entry.current.has_value());
  EXPECT_EQ(*entry.current, NodeVersion::level1(marker_cid(), std::nullopt, 0));

  auto one = make_value<std::int64_t>(1);
  auto v1 = advance_node_version(entry.versioning, entry.current, one.get());
  ASSERT_TRUE(v1.has_value());
  EXPECT_EQ(**v1, NodeVersion::level1(kCidOfOne, marker_cid(), 1));

  // Two DATA in one list: counter +2, prev is the cid of the first.
  auto two = make_value<std::string>("two");
  auto v2 = advance_node_version(entry.versioning, *v1, two.get());
  auto v3 = advance_node_version(entry.versioning, *v2, make_value<bool>(false).get());
  EXPECT_EQ((*v3)->counter, 3u);
  EXPECT_EQ((*v3)->prev, cid_of(two));
  EXPECT_EQ((*v3)->cid, fnv1a64_id("false"));

  auto bad = advance_node_version(entry.versioning, *v3, make_value<double>(NAN).get());
  EXPECT_EQ(bad.error(), "node versioning: DATA at $ is not strict JSON compatible");
}

TEST(NodeVersionAdvance, InitialVersions) {
  EXPECT_FALSE(new_node_version_entry(NodeVersioning::disabled(), nullptr).current.has_value());
  EXPECT_EQ(*new_node_version_entry(NodeVersioning::level0(), nullptr).current, NodeVersion::level0(0));
  auto one = make_value<std::int64_t>(1);
  EXPECT_EQ(*new_node_version_entry(NodeVersioning::level1(), one.get()).current,
            NodeVersion::level1(kCidOfOne, std::nullopt, 0));
  // A given hasher is shared, not replaced.
  auto tagging = std::make_shared<const TaggingHasher>();
  NodeVersionEntry e = new_node_version_entry(NodeVersioning::level1(tagging), one.get());
  EXPECT_EQ(e.versioning.hasher, tagging);
  EXPECT_EQ(e.current->cid, "content:1");
  try {
    new_node_version_entry(NodeVersioning::level1(), make_value<double>(NAN).get());
    ADD_FAILURE() << "expected a fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.text(), "node versioning: node versioning: DATA at $ is not strict JSON compatible");
  }
  auto r = initial_node_version(NodeVersioning::level1(), make_value<std::vector<int>>().get());
  EXPECT_EQ(r.error(), "node versioning: DATA at $ is not strict JSON compatible");
}

// A new node's slot, made directly for counter-only policies, matches the
// slot built from the general entry: same policy, same first version, same fault.
TEST(NodeVersionAdvance, NewSlotMatchesEntryRoad) {
  const SharedValue one = make_value<std::int64_t>(1);
  const SharedValue nan = make_value<double>(NAN);
  const NodeVersioning counter_with_hasher{NodeVersioning::Mode::Level0, std::make_shared<const TaggingHasher>()};
  for (const NodeVersioning& policy :
       {NodeVersioning::disabled(), NodeVersioning::level0(), counter_with_hasher, NodeVersioning::level1()}) {
    for (const SharedValue& initial : {SharedValue(), one, nan}) {
      std::optional<NodeVersionSlot> direct, general;
      std::string direct_fault, general_fault;
      try {
        direct.emplace(new_node_version_slot(policy, initial.get()));
      } catch (const Fault& f) {
        direct_fault = f.text();
      }
      try {
        general.emplace(NodeVersionSlot(new_node_version_entry(policy, initial.get())));
      } catch (const Fault& f) {
        general_fault = f.text();
      }
      SCOPED_TRACE(static_cast<int>(policy.mode));
      ASSERT_EQ(direct.has_value(), general.has_value());
      EXPECT_EQ(direct_fault, general_fault);
      if (!direct) continue;
      EXPECT_TRUE(direct->present());
      EXPECT_EQ(direct->versioning().mode, general->versioning().mode);
      EXPECT_EQ(direct->versioning().hasher != nullptr, general->versioning().hasher != nullptr);
      EXPECT_EQ(direct->current(), general->current());
    }
  }
}

// The hasher and the level-1 texts share one heap part: a version that
// leaves level 1 takes its texts, never the policy's hasher, whichever
// version the slot held before.
TEST(NodeVersionAdvance, SlotKeepsItsHasherAcrossVersionLevels) {
  auto tagging = std::make_shared<const TaggingHasher>();
  const std::optional<NodeVersion> level1 = NodeVersion::level1("content:1", "content:0", 4);
  struct Case {
    const char* name;
    NodeVersioning policy;
    std::optional<NodeVersion> next;
  };
  const std::vector<Case> cases = {
      {"level 1 to none", NodeVersioning::level1(tagging), std::nullopt},
      {"level 1 to level 0", NodeVersioning::level1(tagging), NodeVersion::level0(7)},
      {"level 1 to level 1", NodeVersioning::level1(tagging), level1},
      {"counter policy with a hasher to level 1", NodeVersioning{NodeVersioning::Mode::Level0, tagging}, level1},
      {"counter policy without a hasher to level 1", NodeVersioning::level0(), level1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodeVersionSlot slot = new_node_version_slot(c.policy, nullptr);
    const std::optional<NodeVersion> before = slot.current();
    EXPECT_EQ(slot.exchange_current(c.next), before);
    EXPECT_EQ(slot.current(), c.next);
    // Back to level 1 and then past it again: the texts come and go alone.
    EXPECT_EQ(slot.exchange_current(level1), c.next);
    EXPECT_EQ(slot.current(), level1);
    slot.advance_without_content_ids();
    EXPECT_EQ(slot.current(), NodeVersion::level0(5));
    EXPECT_EQ(slot.mode(), c.policy.mode);
    EXPECT_EQ(slot.versioning().mode, c.policy.mode);
    EXPECT_EQ(slot.versioning().hasher, c.policy.hasher);
  }
}

// A slot keeps its state and mode beside its heap part: a move hands all
// three over, leaves the state and mode behind with no part, and the slot
// moved onto lets its own part go (a slot moved onto itself keeps it); the
// advance road reads the same version either side of it.
TEST(NodeVersionAdvance, SlotMovesKeepVersionPolicyAndPart) {
  auto tagging = std::make_shared<const TaggingHasher>();
  const std::optional<NodeVersion> level1 = NodeVersion::level1("content:1", "content:0", 4);
  struct Case {
    const char* name;
    NodeVersioning policy;
    std::optional<NodeVersion> version;  // put in place before the moves
    bool in_place;                       // the next advance is the in-place step
    bool onto_itself;                    // the last move is a self-move
  };
  const std::vector<Case> cases = {
      {"disabled", NodeVersioning::disabled(), std::nullopt, true, false},
      {"counter", NodeVersioning::level0(), NodeVersion::level0(3), true, false},
      {"counter with a hasher", NodeVersioning{NodeVersioning::Mode::Level0, tagging}, NodeVersion::level0(3), true,
       false},
      {"counter at its last advance", NodeVersioning::level0(), NodeVersion::level0(kMaxVersionCounter - 1), false,
       false},
      {"counter holding level-1 texts", NodeVersioning::level0(), level1, false, false},
      {"content ids", NodeVersioning::level1(tagging), level1, false, false},
      {"counter with a hasher onto itself", NodeVersioning{NodeVersioning::Mode::Level0, tagging},
       NodeVersion::level0(3), true, true},
      {"content ids onto itself", NodeVersioning::level1(tagging), level1, false, true},
  };
  const auto expect_moved_from = [](const NodeVersionSlot& slot, const NodeVersioning& policy) {
    EXPECT_TRUE(slot.present());
    EXPECT_EQ(slot.mode(), policy.mode);
    EXPECT_EQ(slot.versioning().hasher, nullptr);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NodeVersionSlot first = new_node_version_slot(c.policy, nullptr);
    first.exchange_current(c.version);
    NodeVersionSlot moved(std::move(first));
    expect_moved_from(first, c.policy);
    auto dropped = std::make_shared<const TaggingHasher>();
    NodeVersionSlot assigned(new_node_version_entry(NodeVersioning::level1(dropped), nullptr));
    assigned.exchange_current(level1);
    ASSERT_EQ(dropped.use_count(), 2);
    assigned = std::move(moved);
    EXPECT_EQ(dropped.use_count(), 1);
    expect_moved_from(moved, c.policy);
    if (c.onto_itself) {
      NodeVersionSlot& same = assigned;
      assigned = std::move(same);
    }
    EXPECT_TRUE(assigned.present());
    EXPECT_EQ(assigned.current(), c.version);
    EXPECT_EQ(assigned.mode(), c.policy.mode);
    EXPECT_EQ(assigned.versioning().hasher, c.policy.hasher);
    EXPECT_EQ(assigned.advances_in_place(), c.in_place);
  }
}

TEST(NodeVersionAdvance, CounterBoundsAndLevels) {
  auto v = make_value<std::int64_t>(4);
  const auto l0 = NodeVersioning::level0();
  EXPECT_EQ(**advance_node_version(l0, std::nullopt, v.get()), NodeVersion::level0(1));
  EXPECT_EQ(**advance_node_version(l0, NodeVersion::level0(9007199254740990ULL), v.get()),
            NodeVersion::level0(9007199254740991ULL));
  EXPECT_EQ(advance_node_version(l0, NodeVersion::level0(9007199254740991ULL), v.get()).error(),
            "node versioning: counter exceeded the strict JSON safe-integer range (D109)");
  EXPECT_EQ(advance_node_version(l0, NodeVersion::level0(std::numeric_limits<std::uint64_t>::max()), v.get()).error(),
            counter_overflow_error());
  EXPECT_EQ(counter_overflow_error(), "node versioning: counter overflow while advancing node runtime version (D109)");
  // Level 0 policy over a level-1 version drops the cid.
  EXPECT_EQ(**advance_node_version(l0, NodeVersion::level1("c", std::nullopt, 5), v.get()), NodeVersion::level0(6));
  // Level 1 policy over a level-0 version has no prev.
  EXPECT_EQ(**advance_node_version(NodeVersioning::level1(), NodeVersion::level0(2), v.get()),
            NodeVersion::level1(fnv1a64_id("4"), std::nullopt, 3));
  EXPECT_EQ(advance_node_version(NodeVersioning::level1(), NodeVersion::level1("c", "p", 9007199254740991ULL),
                                 v.get())
                .error(),
            "node versioning: counter exceeded the strict JSON safe-integer range (D109)");
  // Disabled: unchanged, whatever the value.
  EXPECT_FALSE(advance_node_version(NodeVersioning::disabled(), std::nullopt, nullptr)->has_value());
}

// A slot that says it advances in place gives the version the general
// advance gives, with no fault; any other slot takes the general advance,
// faults included. Counters at the end of the range and versions the policy
// would not make are where the two could part.
TEST(NodeVersionAdvance, InPlaceAdvanceMatchesTheGeneralAdvance) {
  const std::uint64_t last = kMaxVersionCounter;
  const std::vector<std::optional<NodeVersion>> versions = {
      std::nullopt,
      NodeVersion::level0(0),
      NodeVersion::level0(last - 2),
      NodeVersion::level0(last - 1),
      NodeVersion::level0(last),
      NodeVersion::level0(std::numeric_limits<std::uint64_t>::max()),
      NodeVersion::level1("c", "p", 3),
  };
  for (const NodeVersioning& policy : {NodeVersioning::disabled(), NodeVersioning::level0()}) {
    for (const std::optional<NodeVersion>& start : versions) {
      SCOPED_TRACE(::testing::Message() << "mode " << static_cast<int>(policy.mode) << " counter "
                                        << (start ? start->counter : 0) << (start ? "" : " none"));
      NodeVersionSlot slot = NodeVersionSlot::without_content_ids(policy);
      slot.exchange_current(start);
      const bool in_place = slot.advances_in_place();
      const auto expected = advance_node_version(policy, start, nullptr);
      std::string fault_text;
      try {
        slot.advance_without_content_ids();
      } catch (const Fault& f) {
        fault_text = f.text();
      }
      if (in_place) {
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(fault_text, "");
      }
      if (expected) {
        EXPECT_EQ(fault_text, "");
        EXPECT_EQ(slot.current(), *expected);
      } else {
        EXPECT_EQ(fault_text, expected.error());
        EXPECT_EQ(slot.current(), start);
      }
    }
  }
}

TEST(NodeVersionMetadata, EncodesCheckpointObjects) {
  EXPECT_EQ(encode_node_version(NodeVersion::level0(3)).dump(), R"({"counter":3,"level":0})");
  EXPECT_EQ(encode_node_version(NodeVersion::level1("c1", std::nullopt, 0)).dump(),
            R"({"cid":"c1","counter":0,"level":1,"prev":null})");
  EXPECT_EQ(encode_node_version(NodeVersion::level1("c2", "c1", 1)).dump(),
            R"({"cid":"c2","counter":1,"level":1,"prev":"c1"})");
  for (const NodeVersion& v : {NodeVersion::level0(0), NodeVersion::level0(9007199254740991ULL),
                               NodeVersion::level1("x", std::nullopt, 0), NodeVersion::level1("y", "x", 7)}) {
    EXPECT_EQ(*decode_node_version(encode_node_version(v), "a.version"), v);
  }
}

TEST(NodeVersionMetadata, DecodeRefusals) {
  auto decode_error = [](const char* text) {
    auto r = decode_node_version(Json::parse(text), "n.version");
    EXPECT_FALSE(r.has_value()) << text;
    return r ? std::string() : r.error();
  };
  EXPECT_EQ(decode_error(R"({"level":0,"counter":-0.0})"),
            "restore_graph: node version metadata is not strict canonical JSON compatible (D112): "
            "strictJsonCodec: JSON number at n.version.counter is not strict canonical JSON compatible");
  EXPECT_EQ(decode_error(R"([0,1])"), "restore_graph: n.version must be an object");
  EXPECT_EQ(decode_error(R"({"counter":1})"), "restore_graph: n.version.level must be 0 or 1");
  EXPECT_EQ(decode_error(R"({"level":2,"counter":1})"), "restore_graph: n.version.level must be 0 or 1");
  EXPECT_EQ(decode_error(R"({"level":-1,"counter":1})"), "restore_graph: n.version.level must be 0 or 1");
  EXPECT_EQ(decode_error(R"({"level":0.0,"counter":1})"), "restore_graph: n.version.level must be 0 or 1");
  EXPECT_EQ(decode_error(R"({"level":"0","counter":1})"), "restore_graph: n.version.level must be 0 or 1");
  EXPECT_EQ(decode_error(R"({"level":0,"counter":3,"cid":"x"})"),
            "restore_graph: n.version has unexpected node version fields");
  EXPECT_EQ(decode_error(R"({"level":0})"), "restore_graph: n.version has unexpected node version fields");
  EXPECT_EQ(decode_error(R"({"level":1,"counter":1,"prev":"x"})"),
            "restore_graph: n.version has unexpected node version fields");
  EXPECT_EQ(decode_error(R"({"level":1,"counter":1,"cid":"c","prev":null,"x":1})"),
            "restore_graph: n.version has unexpected node version fields");
  EXPECT_EQ(decode_error(R"({"level":0,"counter":1.5})"),
            "restore_graph: n.version.counter must be a non-negative safe integer");
  EXPECT_EQ(decode_error(R"({"level":0,"counter":-1})"),
            "restore_graph: n.version.counter must be a non-negative safe integer");
  EXPECT_EQ(decode_error(R"({"level":0,"counter":"1"})"),
            "restore_graph: n.version.counter must be a non-negative safe integer");
  EXPECT_EQ(decode_error(R"({"level":1,"counter":1,"cid":5,"prev":"p"})"),
            "restore_graph: n.version.cid must be a string");
  EXPECT_EQ(decode_error(R"({"level":1,"counter":1,"cid":"c","prev":3})"),
            "restore_graph: n.version.prev must be a string or null");
  EXPECT_EQ(decode_error(R"({"level":1,"counter":0,"cid":"c","prev":"p"})"),
            "restore_graph: n.version.prev must be null when counter is 0");
  EXPECT_EQ(decode_error(R"({"level":1,"counter":2,"cid":"x","prev":null})"),
            "restore_graph: n.version.prev must be a string when counter is > 0");
  EXPECT_EQ(*decode_node_version(Json::parse(R"({"level":1,"counter":0,"cid":"x","prev":null})"), "p"),
            NodeVersion::level1("x", std::nullopt, 0));
  // Non-negative integers held signed or unsigned read alike.
  Json signed_form = Json::object({{"level", std::int64_t{0}}, {"counter", std::int64_t{4}}});
  Json unsigned_form = Json::object({{"level", std::uint64_t{0}}, {"counter", std::uint64_t{4}}});
  EXPECT_EQ(*decode_node_version(signed_form, "p"), NodeVersion::level0(4));
  EXPECT_EQ(*decode_node_version(unsigned_form, "p"), NodeVersion::level0(4));
}

TEST(StringTupleId, EncodesTwoJsonStrings) {
  EXPECT_EQ(*encode_string_tuple("a", "b"), R"(["a","b"])");
  EXPECT_EQ(*encode_string_tuple("q\"\n", ""), R"(["q\"\n",""])");
  EXPECT_EQ(string_tuple_id_with_counter("session", 42), R"(["session","42"])");
  EXPECT_EQ(string_tuple_id_with_counter("s", std::numeric_limits<std::uint64_t>::max()),
            R"(["s","18446744073709551615"])");
  EXPECT_FALSE(encode_string_tuple("\xff", "x").has_value());
  EXPECT_THROW(string_tuple_id_with_counter("\xff", 1), Fault);
}

TEST(RuntimeJsonValue, TypeIdentityAndConversion) {
  SharedValue v = make_json_value(Json::parse(R"({"a":1})"));
  EXPECT_TRUE(is_json_value(v));
  EXPECT_EQ(v->type_tag(), json_value_type_tag());
  EXPECT_EQ(*json_value_cast(v), Json::parse(R"({"a":1})"));
  SharedValue text = make_value<std::string>("{}");
  EXPECT_FALSE(is_json_value(text));
  EXPECT_EQ(json_value_cast(text), nullptr);
  EXPECT_FALSE(is_json_value(SharedValue()));
  EXPECT_EQ(json_to_runtime_value(std::nullopt), nullptr);
  SharedValue held_null = json_to_runtime_value(Json(nullptr));
  ASSERT_TRUE(is_json_value(held_null));
  EXPECT_TRUE(json_value_cast(held_null)->is_null());
}
