#include "json/strict_json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace korvalinth {

namespace {

std::string path_text(std::string_view fmt_head, std::string_view path, std::string_view tail) {
  std::string out;
  out.reserve(fmt_head.size() + path.size() + tail.size());
  out += fmt_head;
  out += path;
  out += tail;
  return out;
}

JsonCodecError depth_error(std::string_view path) {
  return JsonCodecError::message(
      path_text("strictJsonCodec: JSON value at ", path, " exceeds maximum depth 128"));
}
JsonCodecError range_error(std::string_view path) {
  return JsonCodecError::message(
      path_text("strictJsonCodec: JSON integer at ", path, " is outside the safe integer range"));
}
JsonCodecError subnormal_error(std::string_view path) {
  return JsonCodecError::message(path_text("strictJsonCodec: JSON number at ", path,
                                           " is subnormal and not strict canonical JSON compatible"));
}
JsonCodecError noncanonical_error(std::string_view path) {
  return JsonCodecError::message(
      path_text("strictJsonCodec: JSON number at ", path, " is not strict canonical JSON compatible"));
}

// The float test shared by floats and integers converted to double.
std::expected<void, JsonCodecError> check_double(double x, std::string_view path) {
  if (std::fpclassify(x) == FP_SUBNORMAL) return std::unexpected(subnormal_error(path));
  double m = std::fabs(x);
  if (m > static_cast<double>(kMaxSafeInteger) && std::trunc(x) == x) return std::unexpected(range_error(path));
  return {};
}

std::expected<void, JsonCodecError> check_number(const Json& v, std::string_view path) {
  if (v.is_number_float()) {
    double x = v.get_ref<const Json::number_float_t&>();
    // Negative zero has no canonical text; NaN and infinities are no JSON at all.
    if (!std::isfinite(x) || (x == 0.0 && std::signbit(x))) return std::unexpected(noncanonical_error(path));
    return check_double(x, path);
  }
  if (json_is_nonneg_integer(v)) {
    std::uint64_t u = json_nonneg_integer(v);
    if (u > kMaxSafeInteger) return std::unexpected(range_error(path));
    return check_double(static_cast<double>(u), path);
  }
  std::int64_t i = v.get_ref<const Json::number_integer_t&>();
  if (i < -static_cast<std::int64_t>(kMaxSafeInteger)) return std::unexpected(range_error(path));
  return check_double(static_cast<double>(i), path);
}

// Decodes one code point leniently: an invalid byte stands for U+FFFD.
char32_t next_code_point(std::string_view s, std::size_t& i) noexcept {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  auto cont = [&](std::size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(i + 1)) {
    char32_t c = ((b0 & 0x1F) << 6) | (byte(i + 1) & 0x3F);
    i += 2;
    return c;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF && cont(i + 1) && cont(i + 2)) {
    char32_t c = ((b0 & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
    if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
      i += 3;
      return c;
    }
  }
  if (b0 >= 0xF0 && b0 <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
    char32_t c = ((b0 & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
                 (byte(i + 3) & 0x3F);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      i += 4;
      return c;
    }
  }
  ++i;
  return 0xFFFD;
}

// Length of the valid UTF-8 sequence at i, or 0 when invalid.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) noexcept {
  std::size_t j = i;
  next_code_point(s, j);
  // Invalid input advances by exactly one byte; a valid non-ASCII sequence by two or more.
  if (j - i == 1) return 0;
  return j - i;
}

void append_number(std::string& out, const Json& v) {
  char buf[32];
  if (v.is_number_float()) {
    double x = v.get_ref<const Json::number_float_t&>();
    if (!std::isfinite(x)) {
      out += "null";
      return;
    }
    if (x == 0.0) {
      out += '0';
      return;
    }
    if (std::fabs(x) <= static_cast<double>(kMaxSafeInteger) && std::trunc(x) == x) {
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(x));
      out.append(buf, r.ptr);
      return;
    }
    out += format_double_shortest(x);
    return;
  }
  std::to_chars_result r;
  if (v.is_number_unsigned()) {
    r = std::to_chars(buf, buf + sizeof buf, v.get_ref<const Json::number_unsigned_t&>());
  } else {
    r = std::to_chars(buf, buf + sizeof buf, v.get_ref<const Json::number_integer_t&>());
  }
  out.append(buf, r.ptr);
}

using Member = const std::pair<const std::string, Json>;

// An open container of the walk. An object whose keys are all ASCII is
// walked in the map's own order (byte order, the same as UTF-16 order for
// ASCII); any other object through its members sorted by UTF-16 code units.
struct EncodeFrame {
  const Json* value;
  std::vector<Member*> members;  // sorted objects
  Json::object_t::const_iterator in_order;  // ASCII-keyed objects
  std::size_t next = 0;
  bool sorted = false;
};

bool all_keys_ascii(const Json::object_t& obj) noexcept {
  for (const auto& m : obj)
    for (unsigned char c : m.first)
      if (c >= 0x80) return false;
  return true;
}

std::expected<void, JsonCodecError> encode_open(std::string& out, const Json& v, std::vector<EncodeFrame>& stack) {
  switch (v.type()) {
    case Json::value_t::null:
      out += "null";
      return {};
    case Json::value_t::boolean:
      out += v.get_ref<const Json::boolean_t&>() ? "true" : "false";
      return {};
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      append_number(out, v);
      return {};
    case Json::value_t::string: {
      auto r = append_json_string(out, v.get_ref<const Json::string_t&>());
      if (!r) return std::unexpected(JsonCodecError::encode(r.error()));
      return {};
    }
    case Json::value_t::array:
      out += '[';
      stack.push_back(EncodeFrame{&v, {}, {}, 0, false});
      return {};
    case Json::value_t::object: {
      out += '{';
      const auto& obj = v.get_ref<const Json::object_t&>();
      EncodeFrame f{&v, {}, obj.begin(), 0, false};
      if (!all_keys_ascii(obj)) {
        f.sorted = true;
        f.members.reserve(obj.size());
        for (const auto& m : obj) f.members.push_back(&m);
        std::stable_sort(f.members.begin(), f.members.end(),
                         [](Member* a, Member* b) { return cmp_utf16_keys(a->first, b->first); });
      }
      stack.push_back(std::move(f));
      return {};
    }
    default:
      return std::unexpected(JsonCodecError::encode("value is not representable as JSON text"));
  }
}

}  // namespace

std::string JsonCodecError::display() const {
  switch (kind) {
    case Kind::Encode:
      return "json encode failed: " + text;
    case Kind::Decode:
      return "json decode failed: " + text;
    case Kind::Message:
      break;
  }
  return text;
}

namespace {

// The check's verdict alone, without building path texts: a value it accepts
// is accepted by strict_json_check; for any other the full check runs again
// to name the path of the first offence.
bool passes_strict_check(const Json& value, std::uint32_t depth) {
  if (depth > kStrictJsonMaxDepth) return false;
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::string:
      return true;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return check_number(value, std::string_view()).has_value();
    case Json::value_t::array:
      for (const Json& item : value.get_ref<const Json::array_t&>())
        if (!passes_strict_check(item, depth + 1)) return false;
      return true;
    case Json::value_t::object:
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>())
        if (!passes_strict_check(member, depth + 1)) return false;
      return true;
    default:
      return false;
  }
}

std::expected<void, JsonCodecError> check_with_paths(const Json& value, std::string_view path, std::uint32_t depth);

}  // namespace

std::expected<void, JsonCodecError> strict_json_check(const Json& value, std::string_view path,
                                                      std::uint32_t depth) {
  if (passes_strict_check(value, depth)) return {};
  return check_with_paths(value, path, depth);
}

namespace {

std::expected<void, JsonCodecError> check_with_paths(const Json& value, std::string_view path, std::uint32_t depth) {
  if (depth > kStrictJsonMaxDepth) return std::unexpected(depth_error(path));
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::boolean:
    case Json::value_t::string:
      return {};
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return check_number(value, path);
    case Json::value_t::array: {
      const auto& arr = value.get_ref<const Json::array_t&>();
      std::string child;
      for (std::size_t i = 0; i < arr.size(); ++i) {
        child.assign(path);
        child += '[';
        child += std::to_string(i);
        child += ']';
        if (auto r = check_with_paths(arr[i], child, depth + 1); !r) return r;
      }
      return {};
    }
    case Json::value_t::object: {
      std::string child;
      for (const auto& [key, member] : value.get_ref<const Json::object_t&>()) {
        child.assign(path);
        child += '.';
        child += key;
        if (auto r = check_with_paths(member, child, depth + 1); !r) return r;
      }
      return {};
    }
    default:
      // Binary and discarded values have no JSON text at all.
      return std::unexpected(JsonCodecError::message(
          path_text("strictJsonCodec: JSON value at ", path, " is not strict canonical JSON compatible")));
  }
}

}  // namespace

std::expected<std::string, JsonCodecError> strict_json_encode(const Json& value) {
  std::string out;
  std::vector<EncodeFrame> stack;
  if (auto r = encode_open(out, value, stack); !r) return std::unexpected(r.error());
  while (!stack.empty()) {
    EncodeFrame& f = stack.back();
    const Json* child;
    if (f.value->is_array()) {
      const auto& arr = f.value->get_ref<const Json::array_t&>();
      if (f.next == arr.size()) {
        out += ']';
        stack.pop_back();
        continue;
      }
      if (f.next > 0) out += ',';
      child = &arr[f.next++];
    } else {
      const auto& obj = f.value->get_ref<const Json::object_t&>();
      if (f.next == obj.size()) {
        out += '}';
        stack.pop_back();
        continue;
      }
      if (f.next > 0) out += ',';
      Member* m = f.sorted ? f.members[f.next] : &*f.in_order++;
      ++f.next;
      if (auto r = append_json_string(out, m->first); !r) return std::unexpected(JsonCodecError::encode(r.error()));
      out += ':';
      child = &m->second;
    }
    // `f` may dangle once encode_open pushes.
    if (auto r = encode_open(out, *child, stack); !r) return std::unexpected(r.error());
  }
  return out;
}

bool cmp_utf16_keys(std::string_view a, std::string_view b) noexcept {
  std::size_t i = 0, j = 0;
  // Pending low surrogate of a supplementary character, 0 when none.
  char16_t pa = 0, pb = 0;
  auto next_unit = [](std::string_view s, std::size_t& k, char16_t& pending) -> char16_t {
    if (pending) {
      char16_t u = pending;
      pending = 0;
      return u;
    }
    char32_t c = next_code_point(s, k);
    if (c < 0x10000) return static_cast<char16_t>(c);
    c -= 0x10000;
    pending = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    return static_cast<char16_t>(0xD800 + (c >> 10));
  };
  for (;;) {
    bool a_done = i >= a.size() && !pa;
    bool b_done = j >= b.size() && !pb;
    if (a_done || b_done) return a_done && !b_done;
    char16_t ua = next_unit(a, i, pa);
    char16_t ub = next_unit(b, j, pb);
    if (ua != ub) return ua < ub;
  }
}

std::expected<void, std::string> append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    // A run of characters written as they are goes in at once.
    std::size_t run = i;
    while (run < text.size()) {
      unsigned char r = static_cast<unsigned char>(text[run]);
      if (r < 0x20 || r >= 0x80 || r == '"' || r == '\\') break;
      ++run;
    }
    if (run > i) {
      out.append(text.data() + i, run - i);
      i = run;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t n = utf8_sequence_length(text, i);
      if (n == 0) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "invalid UTF-8 byte at index %zu: 0x%02X", i, c);
        return std::unexpected(std::string(buf));
      }
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xf];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
  return {};
}

namespace {

// The shortest round-trip decimal digits of |x| (x finite and not zero) and
// the decimal exponent of the first digit, from to_chars' scientific form.
int shortest_digits(double x, std::string& digits) {
  char sci[40];
  auto r = std::to_chars(sci, sci + sizeof sci, std::fabs(x), std::chars_format::scientific);
  const char* p = sci;
  for (; p < r.ptr && *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  int exp10 = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), r.ptr, exp10);
  return exp10;
}

}  // namespace

std::string format_double_shortest(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (x == 0.0) return std::signbit(x) ? "-0.0" : "0.0";

  std::string digits;
  const int exp10 = shortest_digits(x, digits);

  // Value = digits * 10^k with kk = length + k; 10^(kk-1) <= value < 10^kk.
  const int length = static_cast<int>(digits.size());
  const int k = exp10 - (length - 1);
  const int kk = length + k;
  std::string out;
  if (x < 0) out += '-';
  if (0 <= k && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (0 < kk && kk <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(kk));
    out += '.';
    out.append(digits, static_cast<std::size_t>(kk));
  } else if (-5 < kk && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

std::string format_double_plain(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (x == 0.0) return std::signbit(x) ? "-0.0" : "0.0";

  std::string digits;
  const int exp10 = shortest_digits(x, digits);
  const int length = static_cast<int>(digits.size());
  std::string out;
  if (x < 0) out += '-';
  if (exp10 < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp10 - 1), '0');
    out += digits;
  } else if (exp10 + 1 >= length) {
    out += digits;
    out.append(static_cast<std::size_t>(exp10 + 1 - length), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exp10 + 1));
    out += '.';
    out.append(digits, static_cast<std::size_t>(exp10 + 1));
  }
  return out;
}

}  // namespace korvalinth
