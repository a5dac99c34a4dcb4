// Every bound class, in module order. A new class adds its core header and
// one X(...) entry in its place; its bind_*.cpp holds the table.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "acc.hpp"
#include "covmat.hpp"
#include "dot.hpp"
#include "fast.hpp"
#include "frame.hpp"
#include "hist.hpp"
#include "lattice.hpp"
#include "replicated.hpp"
#include "stats.hpp"

#define TALLIX_CLASSES(X) \
  X(SumF64)               \
  X(SumF32)               \
  X(FastSumF64)           \
  X(DotF64)               \
  X(MomentsF64)           \
  X(Moments4F64)          \
  X(CovF64)               \
  X(WeightedMomentsF64)   \
  X(PnMomentsF64)         \
  X(CovMatrixF64)         \
  X(HistogramF64)         \
  X(ExtremaF64)           \
  X(SumMap)               \
  X(MomentsMap)           \
  X(ReplicatedSum)        \
  X(DeltasSum)

namespace tallix::py {

#define TALLIX_DECLARE_CLASS(T) extern template int add_class<T>(PyObject*);
TALLIX_CLASSES(TALLIX_DECLARE_CLASS)
#undef TALLIX_DECLARE_CLASS

#define TALLIX_ADD_FN(T) &add_class<T>,
#define TALLIX_CLASS_LIST TALLIX_CLASSES(TALLIX_ADD_FN)

// The module-level functions (`dot`), null-terminated.
std::vector<PyMethodDef> module_functions(std::deque<std::string>& text);

}  // namespace tallix::py
