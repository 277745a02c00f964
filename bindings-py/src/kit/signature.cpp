#include "kit/signature.hpp"

#include <vector>

namespace korvalinth::kit {

namespace {

bool is_positional(const Param& p) { return p.kind != ParamKind::KeywordOnly; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void append_name_list(std::string& out, const std::vector<std::string_view>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += (i == names.size() - 1) ? " and " : " ";
    }
    out += '\'';
    out.append(names[i]);
    out += '\'';
  }
}

std::string missing_text(const FunctionName& function, const char* kind, const std::vector<std::string_view>& names) {
  std::string out = function.full() + " missing " + std::to_string(names.size()) + " required " + kind +
                    (names.size() == 1 ? " argument: " : " arguments: ");
  append_name_list(out, names);
  return out;
}

const char* default_text(Default d) {
  switch (d) {
    case Default::None:
      return "None";
    case Default::True:
      return "True";
    case Default::False:
      return "False";
    case Default::Required:
      break;
  }
  return "";
}

}  // namespace

std::string FunctionName::full() const {
  std::string out;
  if (!owner.empty()) {
    out.append(owner);
    out += '.';
  }
  out.append(name);
  out += "()";
  return out;
}

std::optional<std::string> match_arguments(const FunctionName& function, std::span<const Param> params,
                                           std::size_t positional, std::span<const std::string_view> keywords,
                                           Matched& out) {
  out = Matched{};
  std::size_t positional_params = 0;
  std::size_t required_positional = 0;
  std::size_t positional_only = 0;
  for (const Param& p : params) {
    if (!is_positional(p)) continue;
    ++positional_params;
    if (p.fallback == Default::Required) ++required_positional;
    if (p.kind == ParamKind::PositionalOnly) ++positional_only;
  }

  if (positional > positional_params) {
    const char* verb = positional == 1 ? "was" : "were";
    std::string text = function.full() + " takes ";
    if (required_positional != positional_params) {
      text += "from " + std::to_string(required_positional) + " to ";
    }
    text += std::to_string(positional_params) + " positional arguments but " + std::to_string(positional) + " " +
            verb + " given";
    return text;
  }
  for (std::size_t i = 0; i < positional; ++i) out[i] = {ArgSource::Positional, static_cast<std::uint32_t>(i)};

  std::vector<std::string_view> positional_only_as_keyword;
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    std::size_t found = params.size();
    for (std::size_t i = 0; i < params.size(); ++i) {
      if (keywords[k] == params[i].name) {
        found = i;
        break;
      }
    }
    if (found == params.size()) {
      return function.full() + " got an unexpected keyword argument '" + std::string(keywords[k]) + "'";
    }
    if (params[found].kind == ParamKind::PositionalOnly) {
      positional_only_as_keyword.push_back(keywords[k]);
      continue;
    }
    if (out[found].kind != ArgSource::Missing) {
      return function.full() + " got multiple values for argument '" + std::string(keywords[k]) + "'";
    }
    out[found] = {ArgSource::Keyword, static_cast<std::uint32_t>(k)};
  }
  if (!positional_only_as_keyword.empty()) {
    std::string text = function.full() + " got some positional-only arguments passed as keyword arguments: ";
    append_name_list(text, positional_only_as_keyword);
    return text;
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (is_positional(params[i]) && params[i].fallback == Default::Required && out[i].kind == ArgSource::Missing) {
      missing.push_back(params[i].name);
    }
  }
  if (!missing.empty()) return missing_text(function, "positional", missing);
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!is_positional(params[i]) && params[i].fallback == Default::Required && out[i].kind == ArgSource::Missing) {
      missing.push_back(params[i].name);
    }
  }
  if (!missing.empty()) return missing_text(function, "keyword", missing);
  return std::nullopt;
}

std::string text_signature_doc(std::string_view name, std::span<const Param> params, bool with_self) {
  std::string out(name);
  out += '(';
  bool first = true;
  auto separator = [&] {
    if (!first) out += ", ";
    first = false;
  };
  if (with_self) {
    separator();
    out += "$self";
  }
  bool slash_pending = false;
  bool star_written = false;
  for (const Param& p : params) {
    if (p.kind == ParamKind::PositionalOnly) {
      slash_pending = true;
    } else if (slash_pending) {
      separator();
      out += '/';
      slash_pending = false;
    }
    if (p.kind == ParamKind::KeywordOnly && !star_written) {
      separator();
      out += '*';
      star_written = true;
    }
    separator();
    out += p.name;
    if (p.fallback != Default::Required) {
      out += '=';
      out += default_text(p.fallback);
    }
  }
  if (slash_pending) {
    separator();
    out += '/';
  }
  out += ")\n--\n\n";
  return out;
}

std::optional<std::string> check_params(std::span<const Param> params) {
  int last_kind = 0;
  bool seen_default = false;
  for (const Param& p : params) {
    if (p.name == nullptr || *p.name == '\0') return "a parameter has no name";
    int kind = p.kind == ParamKind::PositionalOnly ? 0 : p.kind == ParamKind::PositionalOrKeyword ? 1 : 2;
    if (kind < last_kind) return std::string("parameter '") + p.name + "' is out of kind order";
    last_kind = kind;
    if (kind < 2) {
      if (p.fallback != Default::Required) {
        seen_default = true;
      } else if (seen_default) {
        return std::string("required parameter '") + p.name + "' follows one with a default";
      }
    }
  }
  return std::nullopt;
}

}  // namespace korvalinth::kit
