// The module-level functions: `dot`, and the companion's private row feed
// (`_extend_rows`), replica maker (`_replica`), exact reader of one number
// (`_exact_float`) and exact answers.
#include "dot.hpp"
#include "frame.hpp"
#include "numbers.hpp"
#include "registry.hpp"
#include "replicated.hpp"

namespace tallix::py {

namespace {

// `_exact_float(x)`: x as the batch methods read an item, so the companion
// asks the one place that knows whether binary64 holds a Decimal, a Fraction
// or a long double exactly.
PyObject* exact_float(PyObject* /*module*/, PyObject* x) noexcept {
  double out = 0;
  return real_from_object(x, out) ? PyFloat_FromDouble(out) : nullptr;
}

}  // namespace

std::vector<PyMethodDef> module_functions(std::deque<std::string>& text) {
  std::vector<PyMethodDef> defs{Function<"dot(xs, ys)", &tallix::dot>::def(text), extend_rows_def(),
                                Function<"_replica(number, slot)", &tallix::replica_of>::def(text)};
  defs.push_back(PyMethodDef{"_exact_float", reinterpret_cast<PyCFunction>(&exact_float), METH_O,
                             "_exact_float(x, /)\n--\n\n"
                             "x as a float when binary64 holds it exactly, else ValueError."});
  for (const PyMethodDef& def : answer_defs()) defs.push_back(def);
  for (const PyMethodDef& def : sliding_defs()) defs.push_back(def);
  defs.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
  return defs;
}

}  // namespace tallix::py
