#pragma once
// Values and sinks that log what they receive and when they are destroyed,
// for tests of what the runtime hands on and lets go, in which order.

#include <functional>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace korvalinth::test {

// A value that logs "~name" when destroyed.
struct Tracked {
  std::vector<std::string>* log;
  std::string name;
  ~Tracked() { log->push_back("~" + name); }
};

inline SharedValue tracked(std::vector<std::string>& log, std::string name) {
  return make_value<Tracked>(&log, std::move(name));
}

inline std::string name_of(const SharedValue& v) {
  if (const Tracked* t = value_cast<Tracked>(v)) return t->name;
  return std::to_string(int_of(v));
}

// Logs "<name> <message>" for each message and "~<name>" when destroyed.
struct NamedSink final : Sink {
  std::vector<std::string>* log;
  std::string name;
  std::function<void(const Message&)> on_message;
  NamedSink(std::vector<std::string>* l, std::string n) : log(l), name(std::move(n)) {}
  ~NamedSink() override { log->push_back("~" + name); }
  void call(const Message& m) override {
    std::string s = name + " " + std::string(m.kind_name());
    if (m.kind() == MessageKind::Data) s += " " + name_of(m.value());
    log->push_back(s);
    if (on_message) on_message(m);
  }
};

}  // namespace korvalinth::test
