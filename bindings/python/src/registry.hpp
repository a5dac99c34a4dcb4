// Every bound class, in the module order of the core's list (classes.hpp);
// each class's bind_*.cpp holds its table.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "classes.hpp"
#include "frame.hpp"

namespace tallix::py {

#define TALLIX_DECLARE_CLASS(T) extern template int add_class<T>(PyObject*);
TALLIX_CLASSES(TALLIX_DECLARE_CLASS)
#undef TALLIX_DECLARE_CLASS

#define TALLIX_ADD_FN(T) &add_class<T>,
#define TALLIX_CLASS_LIST TALLIX_CLASSES(TALLIX_ADD_FN)

// The module-level functions (`dot` and the private ones), null-terminated.
std::vector<PyMethodDef> module_functions(std::deque<std::string>& text);
// `_extend_rows`, the row feed of the companion's axis reductions.
PyMethodDef extend_rows_def();
// `_moments`, `_cov`, `_int_sums`, `_row_answers`, `_int_answer`: the
// companion's exact answers.
std::vector<PyMethodDef> answer_defs();
// `_slide`, the rolling and expanding windows.
std::vector<PyMethodDef> sliding_defs();
// `_Groups`, the grouped feed.
int add_groups_class(PyObject* module);

}  // namespace tallix::py
