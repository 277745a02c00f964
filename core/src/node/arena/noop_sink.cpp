#include "node/arena/noop_sink.hpp"

#include <typeinfo>

namespace korvalinth {

bool ignores_every_message(const Sink& sink) noexcept { return typeid(sink) == typeid(NoopSink); }

}  // namespace korvalinth
