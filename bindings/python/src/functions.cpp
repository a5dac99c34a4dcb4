// The module-level functions: `dot`, and the companion's private row feed
// (`_extend_rows`), replica maker (`_replica`) and exact answers.
#include "dot.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "replicated.hpp"

namespace tallix::py {

std::vector<PyMethodDef> module_functions(std::deque<std::string>& text) {
  std::vector<PyMethodDef> defs{Function<"dot(xs, ys)", &tallix::dot>::def(text), extend_rows_def(),
                                Function<"_replica(number, slot)", &tallix::replica_of>::def(text)};
  for (const PyMethodDef& def : answer_defs()) defs.push_back(def);
  defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return defs;
}

}  // namespace tallix::py
