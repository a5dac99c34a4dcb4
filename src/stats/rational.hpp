// Exact rationals: accumulators read as signed big integers, and
// the correctly rounded binary64 quotient of two of them.
#pragma once

#include <gmpxx.h>

#include <array>
#include <cstdint>
#include <optional>

#include "../acc.hpp"
#include "../big_memory.hpp"
#include "../dot.hpp"

namespace tallix {

using BigInt = mpz_class;

// Nearest binary64 to num/den, ties to even; den must not be zero.
double round_rational(const BigInt& num, const BigInt& den);
// The same to the nearest binary32 (held in a double), ties to even.
double round_rational32(const BigInt& num, const BigInt& den);
BigInt twos_complement(const Limbs& limbs);
BigInt unit_pow(uint64_t k);  // 2^(1074 k)
BigInt from_u64(uint64_t v);
Result<BigInt> dot_int(const DotF64& acc);
// A plain sum read for a query: NonFinite when any flag is set.
Result<BigInt> sum_int(const SumF64& acc);

inline Result<BigInt> int_of(const SumF64& acc) { return sum_int(acc); }
inline Result<BigInt> int_of(const DotF64& acc) { return dot_int(acc); }

// Reads exact accumulators (sums and dot products) as big integers, in
// argument order: every value, or the first failure met, so that a query
// reports the same failure whichever accumulators it needs.
template <class... Acc>
Result<std::array<BigInt, sizeof...(Acc)>> read_exact(const Acc&... accs) {
  std::array<BigInt, sizeof...(Acc)> out;
  std::optional<Failure> failed;
  size_t i = 0;
  auto read = [&](const auto& acc) {
    if (failed) return;
    Result<BigInt> r = int_of(acc);
    if (r.ok())
      out[i++] = std::move(r).value();
    else
      failed = r.failure();
  };
  (read(accs), ...);
  if (failed) return *failed;
  return out;
}

// A statistics query: reserves the big-integer memory (see big_memory.hpp),
// computes the exact terms, and answers from them. A failure at any step is
// the query's answer; the state is never touched.
template <class State, class Terms, class Answer>
Result<double> exact_query(const State& state, Result<Terms> (State::*compute)() const,
                           Answer answer) {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<Terms> terms = (state.*compute)();
  if (!terms.ok()) return terms.failure();
  return answer(terms.value());
}

// The mean of the values a plain sum holds: the sum over its count, rounded
// once. A query entry point (it reserves its own big-integer memory).
Result<double> exact_mean(const SumF64& sum);

}  // namespace tallix
