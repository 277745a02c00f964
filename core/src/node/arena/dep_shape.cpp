#include "node/arena/dep_shape.hpp"

namespace korvalinth {

void drop_dep_shape(DepShape& shape) {
  std::visit(
      [](auto& s) {
        if constexpr (requires { s.deps; })
          drop_node_handles(s.deps);
        else if constexpr (requires { s.dep.drop(); })
          s.dep.drop();
        s.fn.reset();
      },
      shape);
}

}  // namespace korvalinth
