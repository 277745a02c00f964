#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include "json/strict_json.hpp"

using namespace korvalinth;

namespace {

std::string check_text(const Json& v, std::string_view path = "$", std::uint32_t depth = 0) {
  auto r = strict_json_check(v, path, depth);
  if (r) return "ok";
  EXPECT_EQ(r.error().kind, JsonCodecError::Kind::Message);
  return r.error().display();
}

std::string encode(const Json& v) {
  auto r = strict_json_encode(v);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  return r ? *r : std::string();
}

Json nested_arrays(int levels, Json inner) {
  Json v = std::move(inner);
  for (int i = 0; i < levels; ++i) v = Json::array({std::move(v)});
  return v;
}

std::string index_path(int levels) {
  std::string p = "$";
  for (int i = 0; i < levels; ++i) p += "[0]";
  return p;
}

const std::string kRange = " is outside the safe integer range";

}  // namespace

TEST(StrictJsonCheck, PathsNameTheFirstOffence) {
  EXPECT_EQ(check_text(Json(-0.0)), "strictJsonCodec: JSON number at $ is not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json::array({1, 2, Json(-0.0), Json(-0.0)})),
            "strictJsonCodec: JSON number at $[2] is not strict canonical JSON compatible");
  Json obj = Json::parse(R"({"a":{"b":-0.0}})");
  EXPECT_EQ(check_text(obj), "strictJsonCodec: JSON number at $.a.b is not strict canonical JSON compatible");
  // Keys are written unchanged, and members are visited in byte order.
  Json odd = Json::object({{"x.y[1]", -0.0}, {"z", Json::array({0, Json(5e-324)})}});
  EXPECT_EQ(check_text(odd), "strictJsonCodec: JSON number at $.x.y[1] is not strict canonical JSON compatible");
  Json two = Json::object({{"b", -0.0}, {"a", Json::array({1, Json::array({1, 9007199254740992ULL})})}});
  EXPECT_EQ(check_text(two), "strictJsonCodec: JSON integer at $.a[1][1]" + kRange);
  // Callers may root paths elsewhere.
  EXPECT_EQ(check_text(Json::object({{"k", -0.0}}), "node.meta"),
            "strictJsonCodec: JSON number at node.meta.k is not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json::parse(R"({"s":"any text","n":null,"t":true,"e":[],"o":{}})")), "ok");
}

TEST(StrictJsonCheck, DepthLimit) {
  EXPECT_EQ(check_text(nested_arrays(128, Json(1))), "ok");
  EXPECT_EQ(check_text(nested_arrays(129, Json(1))),
            "strictJsonCodec: JSON value at " + index_path(129) + " exceeds maximum depth 128");
  // 129 nested empty arrays: the innermost is at depth 128 and passes.
  EXPECT_EQ(check_text(nested_arrays(128, Json::array())), "ok");
  EXPECT_EQ(check_text(nested_arrays(129, Json::array())),
            "strictJsonCodec: JSON value at " + index_path(129) + " exceeds maximum depth 128");
  EXPECT_EQ(check_text(Json::object(), "$", 128), "ok");
  EXPECT_EQ(check_text(Json(nullptr), "p", 129), "strictJsonCodec: JSON value at p exceeds maximum depth 128");
  // A deep tree far past the limit is refused without walking all of it.
  Json deep = nested_arrays(100000, Json(1));
  EXPECT_NE(check_text(deep), "ok");
}

TEST(StrictJsonCheck, SafeIntegers) {
  EXPECT_EQ(check_text(Json(9007199254740991ULL)), "ok");
  EXPECT_EQ(check_text(Json(std::int64_t{9007199254740991})), "ok");
  EXPECT_EQ(check_text(Json(9007199254740992ULL)), "strictJsonCodec: JSON integer at $" + kRange);
  // nlohmann may hold a non-negative integer signed; it is the same number.
  EXPECT_EQ(check_text(Json(std::int64_t{9007199254740992})), "strictJsonCodec: JSON integer at $" + kRange);
  EXPECT_EQ(check_text(Json(std::numeric_limits<std::uint64_t>::max())),
            "strictJsonCodec: JSON integer at $" + kRange);
  EXPECT_EQ(check_text(Json(std::int64_t{-9007199254740991})), "ok");
  EXPECT_EQ(check_text(Json(std::int64_t{-9007199254740992})), "strictJsonCodec: JSON integer at $" + kRange);
  EXPECT_EQ(check_text(Json(std::numeric_limits<std::int64_t>::min())),
            "strictJsonCodec: JSON integer at $" + kRange);
  EXPECT_EQ(check_text(Json(9007199254740992.0)), "strictJsonCodec: JSON integer at $" + kRange);
  EXPECT_EQ(check_text(Json(-1e300)), "strictJsonCodec: JSON integer at $" + kRange);
  EXPECT_EQ(check_text(Json(9007199254740991.0)), "ok");
  EXPECT_EQ(check_text(Json(0.5)), "ok");
  EXPECT_EQ(check_text(Json(4503599627370495.5)), "ok");
}

TEST(StrictJsonCheck, ZerosSubnormalsAndNonFinite) {
  EXPECT_EQ(check_text(Json(0.0)), "ok");
  EXPECT_EQ(check_text(Json(-0.0)), "strictJsonCodec: JSON number at $ is not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json(5e-324)),
            "strictJsonCodec: JSON number at $ is subnormal and not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json(-2.2250738585072009e-308)),
            "strictJsonCodec: JSON number at $ is subnormal and not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json(2.2250738585072014e-308)), "ok");
  EXPECT_EQ(check_text(Json(std::numeric_limits<double>::quiet_NaN())),
            "strictJsonCodec: JSON number at $ is not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json(-std::numeric_limits<double>::infinity())),
            "strictJsonCodec: JSON number at $ is not strict canonical JSON compatible");
  EXPECT_EQ(check_text(Json(std::int64_t{0})), "ok");
}

TEST(StrictJsonEncode, ScalarsAndNumbers) {
  EXPECT_EQ(encode(Json(nullptr)), "null");
  EXPECT_EQ(encode(Json(true)), "true");
  EXPECT_EQ(encode(Json(false)), "false");
  EXPECT_EQ(encode(Json(1)), "1");
  EXPECT_EQ(encode(Json(1.0)), "1");
  EXPECT_EQ(encode(Json(3.0)), "3");
  EXPECT_EQ(encode(Json(-42.0)), "-42");
  EXPECT_EQ(encode(Json(0.0)), "0");
  EXPECT_EQ(encode(Json(-0.0)), "0");
  EXPECT_EQ(encode(Json(0.5)), "0.5");
  EXPECT_EQ(encode(Json(-1.5e-7)), "-1.5e-7");
  EXPECT_EQ(encode(Json(9007199254740991.0)), "9007199254740991");
  EXPECT_EQ(encode(Json(std::int64_t{-9007199254740991})), "-9007199254740991");
  EXPECT_EQ(encode(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(encode(Json(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  // Unchecked values still encode: integral doubles past 2^53-1 use the float layout.
  EXPECT_EQ(encode(Json(1e16)), "1e16");
  EXPECT_EQ(encode(Json(9007199254740992.0)), "9007199254740992.0");
}

TEST(StrictJsonEncode, StringEscaping) {
  EXPECT_EQ(encode(Json("a\"b\\c")), R"("a\"b\\c")");
  EXPECT_EQ(encode(Json("\b\f\n\r\t")), R"("\b\f\n\r\t")");
  EXPECT_EQ(encode(Json(std::string("\x00\x01\x1f", 3))), R"("\u0000\u0001\u001f")");
  EXPECT_EQ(encode(Json("/\x7f")), "\"/\x7f\"");
  EXPECT_EQ(encode(Json("h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80")), "\"h\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
  EXPECT_EQ(encode(Json("\xef\xbf\xbd")), "\"\xef\xbf\xbd\"");

  for (const char* bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80"}) {
    auto r = strict_json_encode(Json::array({"ok", Json(std::string(bad))}));
    ASSERT_FALSE(r.has_value()) << bad;
    EXPECT_EQ(r.error().kind, JsonCodecError::Kind::Encode);
    EXPECT_EQ(r.error().display().rfind("json encode failed: invalid UTF-8 byte at index ", 0), 0u);
  }
  auto key = strict_json_encode(Json::object({{std::string("k\xfe"), 1}}));
  ASSERT_FALSE(key.has_value());
  EXPECT_EQ(key.error().display(), "json encode failed: invalid UTF-8 byte at index 1: 0xFE");
}

TEST(StrictJsonEncode, ContainersAreCompactWithUtf16KeyOrder) {
  EXPECT_EQ(encode(Json::parse(R"({"b":1,"a":[true,null,{}],"c":{"y":[],"x":"s"}})")),
            R"({"a":[true,null,{}],"b":1,"c":{"x":"s","y":[]}})");
  // U+1F600 (surrogates D83D DE00) sorts before U+FF61 in UTF-16, after it in UTF-8.
  Json keys = Json::object({{"\xef\xbd\xa1", 1}, {"\xf0\x9f\x98\x80", 2}});
  EXPECT_EQ(encode(keys), "{\"\xf0\x9f\x98\x80\":2,\"\xef\xbd\xa1\":1}");
  EXPECT_EQ(encode(Json::array()), "[]");
  EXPECT_EQ(encode(Json::object()), "{}");
  EXPECT_EQ(encode(Json::parse(R"([[1,[2]],{"k":[{"z":0.25}]}])")), R"([[1,[2]],{"k":[{"z":0.25}]}])");
}

TEST(StrictJsonEncode, DeepTreesDoNotExhaustTheStack) {
  Json deep = nested_arrays(200000, Json(7));
  auto text = strict_json_encode(deep);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->size(), 200000u * 2 + 1);
  EXPECT_EQ(text->substr(199998, 5), "[[7]]");
}

TEST(CmpUtf16Keys, OrdersByCodeUnits) {
  EXPECT_TRUE(cmp_utf16_keys("a", "b"));
  EXPECT_FALSE(cmp_utf16_keys("b", "a"));
  EXPECT_FALSE(cmp_utf16_keys("a", "a"));
  EXPECT_FALSE(cmp_utf16_keys("", ""));
  EXPECT_TRUE(cmp_utf16_keys("", "a"));
  EXPECT_TRUE(cmp_utf16_keys("ab", "abc"));
  EXPECT_FALSE(cmp_utf16_keys("abc", "ab"));
  EXPECT_TRUE(cmp_utf16_keys("Z", "a"));
  // Supplementary characters sort before U+E000..U+FFFF.
  EXPECT_TRUE(cmp_utf16_keys("\xf0\x9f\x98\x80", "\xef\xbd\xa1"));
  EXPECT_FALSE(cmp_utf16_keys("\xef\xbd\xa1", "\xf0\x9f\x98\x80"));
  EXPECT_TRUE(cmp_utf16_keys("\xf0\x90\x80\x80", "\xee\x80\x80"));
  // ...but after the rest of the BMP below the surrogate range.
  EXPECT_TRUE(cmp_utf16_keys("\xed\x9f\xbf", "\xf0\x90\x80\x80"));
  // Two supplementary characters: high units equal, low units decide.
  EXPECT_TRUE(cmp_utf16_keys("\xf0\x9f\x98\x80", "\xf0\x9f\x98\x81"));
  EXPECT_TRUE(cmp_utf16_keys("x\xf0\x9f\x98\x80", "x\xf0\x9f\x98\x80y"));
}

TEST(FormatDoubleShortest, MatchesTheRyuLayout) {
  const std::pair<double, const char*> table[] = {
      {0.1, "0.1"},
      {0.3, "0.3"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {1e-6, "1e-6"},
      {0.00001, "0.00001"},
      {0.0001, "0.0001"},
      {0.00001234, "0.00001234"},
      {0.000012345, "0.000012345"},
      {1.2345678901234568e-5, "0.000012345678901234568"},
      {123456.789, "123456.789"},
      {1.0, "1.0"},
      {-1.5, "-1.5"},
      {100.5, "100.5"},
      {4.35, "4.35"},
      {1.0 / 3.0, "0.3333333333333333"},
      {2.0 / 3.0, "0.6666666666666666"},
      {1e15, "1000000000000000.0"},
      {9007199254740992.0, "9007199254740992.0"},
      {1e16, "1e16"},
      {12345678901234567.0, "1.2345678901234568e16"},
      {1.2345678901234568e17, "1.2345678901234568e17"},
      {1e21, "1e21"},
      {1e22, "1e22"},
      {1e100, "1e100"},
      {1.5e300, "1.5e300"},
      {-1e-10, "-1e-10"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {5e-324, "5e-324"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {123.0, "123.0"},
      {0.5, "0.5"},
  };
  for (const auto& [x, text] : table) EXPECT_EQ(format_double_shortest(x), text) << x;
  EXPECT_EQ(format_double_shortest(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_double_shortest(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(FormatDoubleShortest, RandomDoublesRoundTripInLayout) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 200000; ++i) {
    double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    std::string text = format_double_shortest(x);
    double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(x)) << text;
    // Layout: exponent form has no '+', no leading zeros; decimal form always has a '.'.
    auto e = text.find('e');
    if (e == std::string::npos) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    } else {
      ASSERT_EQ(text.find('+'), std::string::npos) << text;
      std::size_t d = e + 1 + (text[e + 1] == '-' ? 1 : 0);
      ASSERT_NE(text[d], '0') << text;
      ASSERT_NE(text[e - 1], '.') << text;
    }
  }
  // Short decimals, where the decimal layouts are used most.
  for (int i = 0; i < 100000; ++i) {
    double x = static_cast<double>(rng() % 2000001) / std::pow(10.0, static_cast<int>(rng() % 12));
    std::string text = format_double_shortest(x);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), x) << text;
  }
}
