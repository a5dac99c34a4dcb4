// Every class the module exports, in module order: the one list that the
// binding registry, the fuzz harnesses and the receipt tool expand, each with
// its own X. A new class adds its header here and one X(...) entry in its
// place; the golden workloads must then name it in the same position.
#pragma once

#include "acc.hpp"
#include "covmat.hpp"
#include "dot.hpp"
#include "fast.hpp"
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
