// Every decoder on hostile bytes. The first byte picks the decoder, the rest
// is its input. Checks: decoding never crashes; it never holds more heap than
// the input's size justifies (a stated length of 2^32 - 1 must be refused
// before anything is reserved); what decodes re-encodes to the same bytes;
// every query and update on a decoded state runs without fault.
#include <cstdint>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "common.hpp"
#include "receipt.hpp"

namespace {

using namespace tallix;
using fuzz::Input;

// Decoded states live in structures about as large as their byte forms;
// twice the input plus a small constant leaves room for node overheads.
bool justified(int64_t peak, size_t input) {
  return peak <= static_cast<int64_t>(2 * input + 4096);
}

template <class T, class Decode>
const T* decoded(Decode decode, ByteView b, Result<T>& slot) {
  fuzz::AllocationMeter meter;
  meter.start();
  slot = decode(b);
  int64_t peak = meter.stop();
  FUZZ_CHECK(justified(peak, b.size()));
  if (!slot.ok()) return nullptr;
  FUZZ_CHECK(fuzz::same_bytes(encode(slot.value()), b));
  (void)state_hash(slot.value());
  return &slot.value();
}

template <class T>
void merge_with_copy(const T& s) {
  T a = s;
  a.merge(s);
  (void)encode(a);
}

void exercise(const SumF64& s, Input&) {
  (void)s.value();
  SumF64 a = s;
  if (a.try_unmerge(s)) FUZZ_CHECK(a.limbs == Limbs{});
  merge_with_copy(s);
}

void exercise(const SumF32& s, Input&) {
  (void)s.value();
  merge_with_copy(s);
}

void exercise(const DotF64& s, Input& in) {
  (void)s.try_value();
  DotF64 a = s;
  a.push(in.f64(), in.f64());
  merge_with_copy(a);
}

void exercise(const MomentsF64& s, Input& in) {
  (void)s.try_mean();
  (void)s.try_variance();
  (void)s.try_sample_variance();
  (void)s.try_stddev();
  MomentsF64 a = s;
  a.add(in.f64());
  merge_with_copy(a);
}

void exercise(const Moments4F64& s, Input& in) {
  (void)s.try_mean();
  (void)s.try_variance();
  (void)s.try_skewness();
  (void)s.try_skewness_squared();
  (void)s.try_kurtosis();
  (void)s.try_excess_kurtosis();
  Moments4F64 a = s;
  a.add(in.f64());
  merge_with_copy(a);
}

void exercise(const CovF64& s, Input& in) {
  (void)s.try_covariance();
  (void)s.try_slope();
  (void)s.try_intercept();
  (void)s.try_r_squared();
  (void)s.try_correlation();
  CovF64 a = s;
  a.add(in.f64(), in.f64());
  merge_with_copy(a);
}

void exercise(const WeightedMomentsF64& s, Input& in) {
  (void)s.try_mean();
  (void)s.try_variance();
  WeightedMomentsF64 a = s;
  a.add(in.f64(), in.f64());
  merge_with_copy(a);
}

void exercise(const PnMomentsF64& s, Input& in) {
  (void)s.live_count();
  (void)s.try_mean();
  (void)s.try_variance();
  PnMomentsF64 a = s;
  a.add(in.f64());
  a.remove(in.f64());
  merge_with_copy(a);
}

void exercise(const CovMatrixF64& s, Input& in) {
  // Indices inside and outside the dimension.
  for (uint64_t i = 0; i <= s.d + 1; ++i)
    for (uint64_t j = 0; j <= s.d + 1; ++j) (void)s.try_covariance(i, j);
  (void)s.try_covariance(UINT64_MAX, 0);
  (void)s.try_regression();
  (void)s.try_regression_exact();
  CovMatrixF64 a = s;
  std::vector<double> row(s.d);
  for (double& x : row) x = in.f64();
  FUZZ_CHECK(a.add(row, in.f64()).ok());
  Status wrong = a.add(std::vector<double>(s.d + 1), 0.0);
  FUZZ_CHECK(!wrong.ok());
  CovMatrixF64 before = a;
  if (!a.try_sub(s).ok()) FUZZ_CHECK(encode(a) == encode(before));
  merge_with_copy(a);
}

void exercise(const HistogramF64& s, Input& in) {
  HistogramF64 a = s;
  for (int k = 0; k < 4; ++k) a.add(in.f64());
  (void)a.try_counts();
  (void)a.total();
  (void)a.edge_list();
  for (int k = 0; k < 4; ++k) {
    auto q = a.try_quantile_bounds(in.f64());
    (void)q;
  }
  (void)a.try_quantile_bounds(1.0);
  (void)a.try_quantile_bounds(0.0);
  HistogramF64 b = a;
  (void)b.merge(a);
}

void exercise(const ExtremaF64& s, Input& in) {
  (void)s.try_min();
  (void)s.try_max();
  (void)s.try_range();
  ExtremaF64 a = s;
  a.add(in.f64());
  merge_with_copy(a);
}

template <class M>
void exercise_map(const M& s, Input& in) {
  M a = s;
  (void)a.add("k", in.f64());
  (void)a.merge(s);
  (void)a.len();
  for (const auto& [key, state] : s.entries) (void)a.find(key);
}

void exercise(const SumMap& s, Input& in) {
  exercise_map(s, in);
  for (const auto& [key, state] : s.entries) (void)try_value(s, key);
  (void)total_count(s);
}

void exercise(const MomentsMap& s, Input& in) {
  exercise_map(s, in);
  for (const auto& [key, state] : s.entries) {
    (void)try_mean(s, key);
    (void)try_variance(s, key);
  }
}

void exercise(const ReplicatedSum& s, Input& in) {
  (void)s.value();
  ReplicatedSum a = s;
  (void)a.add(in.u64(), in.f64());
  (void)a.join(s);
  ReplicatedSum b = s;
  (void)b.join(s);
  FUZZ_CHECK(encode(b) == encode(s));  // join is idempotent
}

template <class T, class Decode>
void run(Decode decode, Input& in) {
  // The decoder's input is a prefix whose length the fuzzer chooses; what
  // follows feeds the arguments of the updates.
  size_t len = in.u64() & 0xFFFF;
  ByteView b = in.bytes(len);
  // A private copy, so a read past the end is a reported overflow.
  Bytes own(b.begin(), b.end());
  Result<T> slot = InputError::Undefined;
  if (const T* s = decoded<T>(decode, ByteView(own), slot)) exercise(*s, in);
}

// The classes with a byte form, in module order; the first input byte picks
// one (the committed seeds rely on this order).
using Runner = void (*)(Input&);

template <class T>
void run_decoder(Input& in) {
  if constexpr (requires { T::decode(ByteView{}); })
    run<T>(T::decode, in);
  else
    run<T>(T::from_bytes, in);
}

// Only classes with a byte form get a decoder; FastSumF64 and DeltasSum have none.
template <class T>
void add_decoder(std::vector<Runner>& out) {
  if constexpr (requires { T::decode(ByteView{}); } || requires { T::from_bytes(ByteView{}); })
    out.push_back(run_decoder<T>);
}

const std::vector<Runner> kDecoders = [] {
  std::vector<Runner> out;
#define TALLIX_ADD_DECODER(T) add_decoder<T>(out);
  TALLIX_CLASSES(TALLIX_ADD_DECODER)
#undef TALLIX_ADD_DECODER
  return out;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  kDecoders[in.u8() % kDecoders.size()](in);
  return 0;
}
