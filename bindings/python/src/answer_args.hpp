// The arguments the companion's answers share, read once for `_moments`,
// `_row_answers`, `_row_average` and `_Groups.answer`: integers and a ddof
// as numpy takes them, an answer's name, and the array answers go into.
#pragma once

#include <cstddef>
#include <cstdint>

#include "elements.hpp"
#include "python.hpp"
#include "scoped.hpp"
#include "stats/answers.hpp"

namespace tallix::py {

// A Python int (not a float) as int64, TypeError naming `what` otherwise.
bool to_i64(PyObject* o, const char* what, int64_t& out);

// ddof as numpy takes it: an int or a float, finite.
bool to_ddof(PyObject* o, double& out);

// "sum", "mean", "var" or "std"; "...32" rounds to binary32; where
// `nan_prefix`, "nan..." skips NaNs. ValueError for any other name.
struct AnswerName {
  MomentAnswer what = MomentAnswer::Mean;
  Precision precision = Precision::Binary64;
  bool skip_nans = false;
};
bool read_answer_name(PyObject* o, bool nan_prefix, AnswerName& out);

// A writable 1-D contiguous native array of `kind` (F64 or I64) with one
// entry per row or group: ValueError naming `name` and `per` otherwise.
bool open_answer_out(PyObject* o, HeldBuffer& buffer, size_t count, Element kind, const char* name,
                     const char* per);

}  // namespace tallix::py
