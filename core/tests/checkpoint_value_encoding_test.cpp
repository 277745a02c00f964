#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "checkpoint/checkpoint_value_encoding.hpp"
#include "json/json_value.hpp"

using namespace korvalinth;

namespace {

std::string encode_error(const SharedValue& v, std::string_view path = "n") {
  auto r = encode_checkpoint_value(v, true, path);
  EXPECT_FALSE(r.has_value());
  return r ? std::string() : r.error();
}

Json encoded(const SharedValue& v, std::string_view path = "n") {
  auto r = encode_checkpoint_value(v, true, path);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
  EXPECT_TRUE(r && r->is_data());
  return r ? r->data : Json();
}

CheckpointJsonEncoder encoder_of(std::function<std::expected<Json, std::string>(const SharedValue&, std::string_view)> f) {
  return std::make_shared<const CheckpointJsonEncoderFn>(std::move(f));
}

// Value types of this file only, so registrations here touch no other test.
struct Plain {
  int n = 0;
};
struct Counted {};
struct Reentrant {};
struct Raced {};
struct NeverRegistered {};  // for the built-in road's refusal, in any test order

}  // namespace

TEST(CheckpointValueEncoding, SentinelAndAbsent) {
  std::atomic<int> calls{0};
  register_checkpoint_json_encoder(type_tag_of<Counted>(), encoder_of([&](const SharedValue&, std::string_view) {
                                     ++calls;
                                     return std::expected<Json, std::string>(Json(1));
                                   }));
  auto r = encode_checkpoint_value(make_value<Counted>(), false, "n");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, GraphCheckpointValue::sentinel());
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(encode_checkpoint_value(nullptr, false, "n")->kind, GraphCheckpointValue::Kind::Sentinel);
  EXPECT_EQ(encode_error(nullptr, "a.ctxState"), "checkpoint: value at a.ctxState is marked DATA but absent");
  EXPECT_EQ(encoded(make_value<Counted>()), Json(1));
  EXPECT_EQ(calls.load(), 1);
}

TEST(CheckpointValueEncoding, BuiltInTypes) {
  EXPECT_EQ(encoded(make_value<std::string>("abc")), Json("abc"));
  EXPECT_EQ(encoded(make_value<bool>(true)), Json(true));
  EXPECT_EQ(encoded(make_value<std::int32_t>(-3)), Json(-3));
  // Integers are written exactly; no safe-integer range applies here.
  EXPECT_EQ(encoded(make_value<std::int64_t>(std::int64_t{1} << 60)), Json(std::int64_t{1} << 60));
  EXPECT_EQ(encoded(make_value<std::uint64_t>(std::numeric_limits<std::uint64_t>::max())),
            Json(std::numeric_limits<std::uint64_t>::max()));
  EXPECT_EQ(encoded(make_value<std::uint32_t>(4000000000u)), Json(4000000000u));
  EXPECT_EQ(encoded(make_value<double>(1.5)), Json(1.5));
  Json tree = Json::parse(R"({"a":[1,"x",null]})");
  EXPECT_EQ(encoded(make_json_value(tree)), tree);

  EXPECT_EQ(encode_error(make_value<double>(NAN), "x"), "checkpoint: value at x is not strict JSON compatible");
  EXPECT_EQ(encode_error(make_value<double>(-INFINITY), "x"), "checkpoint: value at x is not strict JSON compatible");
  EXPECT_EQ(encode_error(make_value<double>(5e-324), "x"),
            "checkpoint: strictJsonCodec: JSON number at x is subnormal and not strict canonical JSON compatible");
  EXPECT_EQ(encode_error(make_value<double>(-0.0), "x.ctxState"),
            "checkpoint: strictJsonCodec: JSON number at x.ctxState is not strict canonical JSON compatible");
  EXPECT_EQ(encode_error(make_value<NeverRegistered>(), "node-7"), "checkpoint: value at node-7 is not strict JSON compatible");
  EXPECT_EQ(encode_error(make_value<float>(1.0f), "f"), "checkpoint: value at f is not strict JSON compatible");

  Json deep = Json(0);
  std::string path = "d";
  for (int i = 0; i < 129; ++i) {
    deep = Json::array({std::move(deep)});
    path += "[0]";
  }
  EXPECT_EQ(encode_error(make_json_value(std::move(deep)), "d"),
            "checkpoint: strictJsonCodec: JSON value at " + path + " exceeds maximum depth 128");
}

TEST(CheckpointValueEncoding, RegisteredEncoders) {
  std::weak_ptr<const CheckpointJsonEncoderFn> first_weak;
  {
    auto first = encoder_of([](const SharedValue& v, std::string_view path) -> std::expected<Json, std::string> {
      return Json::object({{"first", value_cast<Plain>(v)->n}, {"path", std::string(path)}});
    });
    first_weak = first;
    register_checkpoint_json_encoder(type_tag_of<Plain>(), std::move(first));
  }
  EXPECT_EQ(encoded(make_value<Plain>(Plain{4}), "p"), Json::parse(R"({"first":4,"path":"p"})"));

  // A second registration replaces the first and drops it.
  register_checkpoint_json_encoder(
      type_tag_of<Plain>(), encoder_of([](const SharedValue& v, std::string_view) -> std::expected<Json, std::string> {
        int n = value_cast<Plain>(v)->n;
        if (n < 0) return std::unexpected(std::string("plain: negative at this node"));
        if (n == 99) return Json(std::uint64_t{1} << 53);
        if (n == 98) return Json(-0.0);
        return Json(n * 10);
      }));
  EXPECT_TRUE(first_weak.expired());
  EXPECT_EQ(encoded(make_value<Plain>(Plain{4})), Json(40));
  EXPECT_EQ(encode_error(make_value<Plain>(Plain{-1})), "plain: negative at this node");
  EXPECT_EQ(encode_error(make_value<Plain>(Plain{99}), "q"),
            "checkpoint: strictJsonCodec: JSON integer at q is outside the safe integer range");
  EXPECT_EQ(encode_error(make_value<Plain>(Plain{98}), "q"),
            "checkpoint: strictJsonCodec: JSON number at q is not strict canonical JSON compatible");
}

TEST(CheckpointValueEncoding, RegisteredEncoderTakesPrecedenceOverBuiltIn) {
  // Behaves like the built-in u32 handling except for one marker value.
  register_checkpoint_json_encoder(
      type_tag_of<std::uint32_t>(),
      encoder_of([](const SharedValue& v, std::string_view) -> std::expected<Json, std::string> {
        std::uint32_t u = *value_cast<std::uint32_t>(v);
        if (u == 0xC0DEu) return Json("registered");
        return Json(std::uint64_t{u});
      }));
  EXPECT_EQ(encoded(make_value<std::uint32_t>(0xC0DEu)), Json("registered"));
  EXPECT_EQ(encoded(make_value<std::uint32_t>(5u)), Json(5u));
}

TEST(CheckpointValueEncoding, EncodersMayReenterTheRegistry) {
  register_checkpoint_json_encoder(
      type_tag_of<Reentrant>(), encoder_of([](const SharedValue&, std::string_view path) -> std::expected<Json, std::string> {
        // The lock is not held while an encoder runs: nested use must not deadlock.
        register_checkpoint_json_encoder(type_tag_of<Raced>(), encoder_of([](const SharedValue&, std::string_view) {
                                           return std::expected<Json, std::string>(Json("raced"));
                                         }));
        auto inner = encode_checkpoint_value(make_value<std::string>("inner"), true, std::string(path) + ".inner");
        if (!inner) return std::unexpected(inner.error());
        return Json::array({inner->data});
      }));
  EXPECT_EQ(encoded(make_value<Reentrant>()), Json::array({"inner"}));
  EXPECT_EQ(encoded(make_value<Raced>()), Json("raced"));
}

TEST(CheckpointValueEncoding, ConcurrentRegistrationAndLookup) {
  register_checkpoint_json_encoder(type_tag_of<Raced>(), encoder_of([](const SharedValue&, std::string_view) {
                                     return std::expected<Json, std::string>(Json("raced"));
                                   }));
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 500; ++i) {
        if (t % 2 == 0) {
          register_checkpoint_json_encoder(type_tag_of<Raced>(), encoder_of([](const SharedValue&, std::string_view) {
                                             return std::expected<Json, std::string>(Json("raced"));
                                           }));
        } else {
          auto r = encode_checkpoint_value(make_value<Raced>(), true, "r");
          if (!r || r->data != Json("raced")) ++failures;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}
