// Module-level functions.
#include "dot.hpp"
#include "frame.hpp"
#include "registry.hpp"

namespace tallix::py {

std::vector<PyMethodDef> module_functions(std::deque<std::string>& text) {
  return {Function<"dot(xs, ys)", &tallix::dot>::def(text), extend_rows_def(),
          PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

}  // namespace tallix::py
