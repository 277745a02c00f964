#include "checkpoint/restore_texts.hpp"

namespace korvalinth {

std::string fill_text(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(tmpl.size() + 32);
  auto arg = args.begin();
  std::size_t pos = 0;
  while (pos < tmpl.size()) {
    std::size_t hole = tmpl.find("{}", pos);
    if (hole == std::string_view::npos || arg == args.end()) {
      out.append(tmpl.substr(pos));
      break;
    }
    out.append(tmpl.substr(pos, hole - pos));
    out.append(*arg++);
    pos = hole + 2;
  }
  return out;
}

}  // namespace korvalinth
