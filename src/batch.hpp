// Batch forms of the single-value updates of the statistics, histogram and
// replication states. Each leaves exactly the bytes that the loop of single
// updates would leave; spans of unequal length are refused before anything
// changes. Every exact sum they feed goes through the banked adder.
#pragma once

#include <span>

#include "covmat.hpp"
#include "error.hpp"
#include "hist.hpp"
#include "lattice.hpp"
#include "replicated.hpp"
#include "rows.hpp"
#include "stats.hpp"

namespace tallix {

void moments_batch(MomentsF64& m, std::span<const double> xs) noexcept;
void moments4_batch(Moments4F64& m, std::span<const double> xs) noexcept;
void pn_moments_batch(PnMomentsF64& m, std::span<const double> xs) noexcept;
Status cov_batch(CovF64& c, std::span<const double> xs, std::span<const double> ys) noexcept;
Status weighted_batch(WeightedMomentsF64& w, std::span<const double> xs,
                      std::span<const double> ws) noexcept;
// One row of d features per response. Allocates its column buffer before
// changing anything (std::bad_alloc may escape).
Status covmat_batch(CovMatrixF64& c, Rows rows, std::span<const double> ys);
void histogram_batch(HistogramF64& h, std::span<const double> xs) noexcept;
void extrema_batch(ExtremaF64& e, std::span<const double> xs) noexcept;
void deltas_batch(DeltasSum& d, std::span<const double> xs) noexcept;

}  // namespace tallix
