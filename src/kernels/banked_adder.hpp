// The banked adder: any number of values, or of products, added exactly into
// an exact sum's limbs through four banks, folding before they could overflow
// (bank.hpp, notes 3 and 4). Every batch method reaches it, through the
// feeders of the statistics (stats/feeders.hpp) or directly.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../limbs.hpp"
#include "bank.hpp"

namespace tallix {

// An exact sum the adder can add into: its limbs and the flags of the
// non-finite values it has seen (SumF64 is one).
template <class Sum>
concept LimbsAndFlags = requires(Sum& s) {
  { s.limbs } -> std::same_as<Limbs&>;
  { s.nan } -> std::same_as<bool&>;
  { s.pos_inf } -> std::same_as<bool&>;
  { s.neg_inf } -> std::same_as<bool&>;
};

// Counts are the caller's.
class BankedAdder {
 public:
  template <LimbsAndFlags Sum>
  explicit BankedAdder(Sum& target) noexcept
      : BankedAdder(target.limbs, target.nan, target.pos_inf, target.neg_inf) {}
  // Adds into bare limbs, handing the non-finite flags to `flags`.
  BankedAdder(Limbs& limbs, Bank& flags) noexcept
      : BankedAdder(limbs, flags.nan, flags.pos_inf, flags.neg_inf) {}
  BankedAdder(const BankedAdder&) = delete;
  BankedAdder& operator=(const BankedAdder&) = delete;

  void add(std::span<const double> xs) noexcept;
  // Adds the rounded products a[i] * b[i] and their fma errors (0 for an
  // infinite product), as DotF64::push does; true when split_loses_exactness
  // holds for a pair.
  bool add_products(const double* a, const double* b, size_t n) noexcept;
  // Folds what the banks hold and hands the non-finite flags to the target.
  void finish() noexcept;

 private:
  BankedAdder(Limbs& limbs, bool& nan, bool& pos_inf, bool& neg_inf) noexcept
      : limbs_(limbs), nan_(nan), pos_inf_(pos_inf), neg_inf_(neg_inf) {}
  void add_extracting(std::span<const double> xs) noexcept;
  // Places up to kValuesPerFold values in the banks, folding first when
  // they could overflow.
  void add_to_banks(std::span<const double> xs) noexcept;
  bool add_exact_products(const double* a, const double* b, size_t n) noexcept;
  bool add_extracting_products(const double* a, const double* b, size_t n) noexcept;
  // Places pairs in the banks, folding whenever they could overflow.
  bool add_products_to_banks(const double* a, const double* b, size_t n) noexcept;
  void fold() noexcept;
  // Adds the rows' bins into the limbs and clears the rows.
  void fold_pairs(PairBank& pairs) noexcept;

  Limbs& limbs_;
  bool& nan_;
  bool& pos_inf_;
  bool& neg_inf_;
  Bank banks_[4];
  Bank flags_;
  size_t held_ = 0;  // values in the banks since the last fold
};

}  // namespace tallix
