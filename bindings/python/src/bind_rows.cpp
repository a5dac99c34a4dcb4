// `_extend_rows(states, *blocks)`: one state per row of 2-D blocks, fed in one
// pass. The table lists every class whose batch extend takes arrays.
#include <algorithm>

#include "acc.hpp"
#include "hist.hpp"
#include "lattice.hpp"
#include "registry.hpp"
#include "replicated.hpp"
#include "rows_call.hpp"
#include "stats.hpp"
#include "stats/cov.hpp"
#include "stats/weighted.hpp"

namespace tallix::py {

namespace {

struct RowFeeder {
  const ClassRecord* record;
  PyObject* (*call)(std::span<PyObject* const>, RowBlocks&);
};

template <class T, auto Fn>
constexpr RowFeeder feeder() {
  return {&class_record<T>, &RowsCall<T, Fn>::call};
}

// clang-format off: a table, one class per row
const RowFeeder kFeeders[] = {
    feeder<SumF64, &SumF64::extend>(),
    feeder<SumF32, &SumF32::extend>(),
    feeder<MomentsF64, &MomentsF64::extend>(),
    feeder<Moments4F64, &Moments4F64::extend>(),
    feeder<PnMomentsF64, &PnMomentsF64::extend>(),
    feeder<ExtremaF64, &ExtremaF64::extend>(),
    feeder<HistogramF64, &HistogramF64::extend>(),
    feeder<DeltasSum, &DeltasSum::extend>(),
    feeder<CovF64, &CovF64::extend>(),
    feeder<WeightedMomentsF64, &WeightedMomentsF64::extend>(),
};
// clang-format on

const RowFeeder* feeder_of(PyObject* first) {
  for (const RowFeeder& f : kFeeders)
    if (f.record->type && Py_TYPE(first) == f.record->type) return &f;
  PyErr_Format(PyExc_TypeError,
               "_extend_rows() takes states of a class whose extend reads arrays, not '%s'",
               type_name(first).c_str());
  return nullptr;
}

// The states as a private list (its own references, so that no other thread
// can drop one while the lock is released) and as a span of its items.
bool list_states(PyObject* states, Owned& list, std::vector<PyObject*>& items) {
  if (PyUnicode_Check(states) || PyBytes_Check(states) || !PySequence_Check(states)) {
    PyErr_Format(PyExc_TypeError, "states must be a sequence of tallix states, not '%s'",
                 type_name(states).c_str());
    return false;
  }
  list.reset(PySequence_List(states));
  if (!list) return false;
  Py_ssize_t n = PyList_Size(list.get());
  items.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(PyList_GetItem(list.get(), i));
  return true;
}

bool one_class(std::span<PyObject* const> items) {
  auto other = std::find_if(items.begin(), items.end(),
                            [&](PyObject* o) { return Py_TYPE(o) != Py_TYPE(items[0]); });
  if (other == items.end()) return true;
  PyErr_Format(PyExc_TypeError, "states must all be of one class, not %s and %s",
               type_name(items[0]).c_str(), type_name(*other).c_str());
  return false;
}

PyObject* extend_rows(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (nargs < 1) {
      PyErr_SetString(PyExc_TypeError, "_extend_rows() takes the states, then their blocks");
      return nullptr;
    }
    Owned list;
    std::vector<PyObject*> items;
    if (!list_states(args[0], list, items)) return nullptr;
    RowBlocks blocks;
    if (!blocks.open({args + 1, static_cast<size_t>(nargs - 1)}, items.size())) return nullptr;
    if (items.empty()) Py_RETURN_NONE;
    const RowFeeder* f = feeder_of(items[0]);
    if (!f || !one_class(items)) return nullptr;
    return f->call(items, blocks);
  });
}

}  // namespace

PyMethodDef extend_rows_def() {
  return PyMethodDef{"_extend_rows",
                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&extend_rows)),
                     METH_FASTCALL,
                     "_extend_rows(states, /, *blocks)\n--\n\n"
                     "Feed states[i] with row i of every block, as states[i].extend(*rows) would:\n"
                     "one pass over 2-D arrays of any strides, all or nothing."};
}

}  // namespace tallix::py
