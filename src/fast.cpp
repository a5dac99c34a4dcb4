// FastSumF64: single adds into its own bank, short batches placed there
// directly, long ones through the banked adder (kernels/bank.hpp, note 4).
#include "fast.hpp"

#include <algorithm>

#include "kernels/banked_adder.hpp"
#include "kernels/table.hpp"

namespace tallix {

void FastSumF64::add(double x) noexcept {
  count = saturating_add(count, 1);
  bank.place(x);
  if (++pending == kSingleAddsPerFold) {
    active_kernels().fold(bank, limbs);
    pending = 0;
  }
}

void FastSumF64::extend(std::span<const double> xs) noexcept {
  if (xs.empty()) return;  // nothing folded, so the pending adds stay counted
  count = saturating_add(count, xs.size());
  if (xs.size() <= kShortBatchMax)
    extend_short(xs);
  else
    extend_long(xs);
  pending = 0;
}

void FastSumF64::extend_short(std::span<const double> xs) noexcept {
  const Kernels& k = active_kernels();
  Bank t1, t2, t3;
  Bank* const banks[4] = {&bank, &t1, &t2, &t3};
  for (size_t at = 0; at < xs.size(); at += kValuesPerFold) {
    size_t n = std::min(kValuesPerFold, xs.size() - at);
    k.place(xs.data() + at, n, banks, bank);
    // The persistent bank folds on its own; t1 takes t2 and t3 (note 4).
    k.absorb(t1, t2);
    k.absorb(t1, t3);
    k.fold(bank, limbs);
    k.fold(t1, limbs);
  }
  bank.absorb_flags(t1);
  bank.absorb_flags(t2);
  bank.absorb_flags(t3);
}

// Long batches fold every kValuesPerFold values rather than every
// kSingleAddsPerFold: the pending single adds are folded first, then the
// batch goes through the banked adder. Where the folds fall changes no bit
// (note 4), and the bank ends empty either way; the fewer folds save time.
void FastSumF64::extend_long(std::span<const double> xs) noexcept {
  active_kernels().fold(bank, limbs);
  BankedAdder adder(limbs, bank);
  adder.add(xs);
  adder.finish();
}

SumF64 FastSumF64::finish() const noexcept {
  SumF64 out;
  out.limbs = limbs;
  Bank copy = bank;
  active_kernels().fold(copy, out.limbs);
  out.count = count;
  out.nan = bank.nan;
  out.pos_inf = bank.pos_inf;
  out.neg_inf = bank.neg_inf;
  return out;
}

}  // namespace tallix
