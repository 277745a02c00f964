#include "base/fault.hpp"

#include <stdexcept>

namespace korvalinth {

void fault(const char* text) { throw Fault(std::string(text)); }

std::optional<std::string> current_fault_text() {
  try {
    throw;
  } catch (const Fault& f) {
    if (f.has_text()) return f.text();
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace korvalinth
