#pragma once
// Parameter tables: every Python-visible method and function declares its
// parameters here once. The table drives argument matching (with the binding
// framework's TypeError texts) and the text signature that becomes the doc.
// Nothing in this file touches Python.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace korvalinth::kit {

enum class Default : std::uint8_t { Required, None, True, False };
enum class ParamKind : std::uint8_t { PositionalOrKeyword, PositionalOnly, KeywordOnly };

inline constexpr Default none = Default::None;
inline constexpr Default yes = Default::True;
inline constexpr Default no = Default::False;

struct Param {
  const char* name = nullptr;
  Default fallback = Default::Required;
  ParamKind kind = ParamKind::PositionalOrKeyword;
};

inline constexpr std::size_t kMaxParams = 16;

// A method's parameters in signature order: positional-only, then
// positional-or-keyword, then keyword-only; required positionals first.
struct Params {
  std::array<Param, kMaxParams> items{};
  std::size_t count = 0;
  // What a call with positional arguments only needs to know to be matched
  // without the general rules.
  std::size_t positional = 0;           // parameters that take a positional argument
  std::size_t required_positional = 0;  // of those, the ones without a default
  bool required_keyword_only = false;

  constexpr Params() = default;
  constexpr Params(std::initializer_list<Param> params) {
    for (const Param& p : params) {
      items[count++] = p;  // more than kMaxParams fails to compile
      if (p.kind == ParamKind::KeywordOnly) {
        required_keyword_only = required_keyword_only || p.fallback == Default::Required;
      } else {
        ++positional;
        if (p.fallback == Default::Required) ++required_positional;
      }
    }
  }
  constexpr std::span<const Param> view() const { return {items.data(), count}; }
  constexpr bool empty() const { return count == 0; }
};

// Where a parameter's value comes from after matching.
struct ArgSource {
  enum Kind : std::uint8_t { Missing, Positional, Keyword } kind = Missing;
  std::uint32_t index = 0;  // into the positional arguments or the keyword names
};
using Matched = std::array<ArgSource, kMaxParams>;

// How a function is named in its errors: "{owner}.{name}()" or "{name}()".
struct FunctionName {
  std::string_view owner;  // class name; empty for a module function
  std::string_view name;
  std::string full() const;
};

// Matches `positional` positional arguments and the keyword names to the
// parameters. Returns the TypeError text on a mismatch.
std::optional<std::string> match_arguments(const FunctionName& function, std::span<const Param> params,
                                           std::size_t positional, std::span<const std::string_view> keywords,
                                           Matched& out);

// The doc that carries a text signature: "name($self, a, b=None)\n--\n\n".
std::string text_signature_doc(std::string_view name, std::span<const Param> params, bool with_self);

// Checks the ordering rules of a table; returns what is wrong with it.
std::optional<std::string> check_params(std::span<const Param> params);

}  // namespace korvalinth::kit
