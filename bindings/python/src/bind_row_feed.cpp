// `_extend_rows(states, *blocks)`: one state per row of the blocks, fed in
// one pass. Every class whose batch `extend` takes only columns has its row
// feed from that method's table entry (batch_call.hpp); this finds it by the
// class of the states.
#include <algorithm>

#include "blocks.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "scoped.hpp"

namespace tallix::py {

namespace {

#define TALLIX_RECORD_OF(T) &class_record<T>,
const ClassRecord* const kRecords[] = {TALLIX_CLASSES(TALLIX_RECORD_OF)};
#undef TALLIX_RECORD_OF

RowFeed feed_of(PyObject* first) {
  for (const ClassRecord* record : kRecords)
    if (record->row_feed && Py_TYPE(first) == record->type) return record->row_feed;
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
    Blocks blocks;
    if (!blocks.open({args + 1, static_cast<size_t>(nargs - 1)}, items.size())) return nullptr;
    if (items.empty()) Py_RETURN_NONE;
    RowFeed feed = feed_of(items[0]);
    if (!feed || !one_class(items)) return nullptr;
    return feed(items, blocks);
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
