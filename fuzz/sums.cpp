// Random sequences of calls on the sum-like states with hostile values, each
// checked against an independent route to the same state:
//   SumF64 fed one by one == two SumF64 parts merged == FastSumF64 (single
//   adds and batches mixed) == the batch sum; try_unmerge inverts merge;
//   DotF64 push == extend == dot; ExtremaF64 and HistogramF64 against naive
//   total-order scans; maps and replicated sums round-trip their encodings,
//   merge commutatively and join idempotently.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common.hpp"
#include "dot.hpp"
#include "fast.hpp"
#include "hist.hpp"
#include "lattice.hpp"
#include "replicated.hpp"

namespace {

using namespace tallix;
using fuzz::Input;

struct Sums {
  SumF64 whole;
  SumF64 parts[2];
  FastSumF64 fast;
  SumF64 batch;
  SumF32 f32_whole;
  SumF32 f32_batch;
  std::vector<double> pending;  // values waiting for one fast extend
  std::vector<double> all;

  void add(double x, int part) {
    whole.add(x);
    parts[part].add(x);
    f32_whole.add(static_cast<float>(x));
    pending.push_back(x);
    all.push_back(x);
  }
  void flush(bool single) {
    if (single) {
      for (double x : pending) fast.add(x);
    } else {
      fast.extend(pending);
    }
    pending.clear();
  }
  void check() {
    flush(false);
    SumF64 merged = parts[0];
    merged.merge(parts[1]);
    FUZZ_CHECK(merged.to_bytes() == whole.to_bytes());
    FUZZ_CHECK(fast.finish().to_bytes() == whole.to_bytes());
    batch.extend(all);
    FUZZ_CHECK(batch.to_bytes() == whole.to_bytes());
    f32_batch.extend(all);
    FUZZ_CHECK(f32_batch.to_bytes() == f32_whole.to_bytes());
    FUZZ_CHECK(fuzz::same_bits(merged.value(), whole.value()));
    DeltasSum deltas;
    deltas.extend(all);
    FUZZ_CHECK(deltas.running_sum.to_bytes() == whole.to_bytes());
    // Taking the second part back out leaves exactly the limbs and count of the first.
    SumF64 back = whole;
    if (back.try_unmerge(parts[1])) {
      FUZZ_CHECK(back.limbs == parts[0].limbs);
      FUZZ_CHECK(back.count == parts[0].count);
    } else {
      FUZZ_CHECK(!parts[1].finite());
      FUZZ_CHECK(back.to_bytes() == whole.to_bytes());
    }
  }
};

struct Dots {
  DotF64 pushed;
  std::vector<double> xs, ys;

  void push(double a, double b) {
    pushed.push(a, b);
    xs.push_back(a);
    ys.push_back(b);
  }
  void check() {
    DotF64 extended;
    FUZZ_CHECK(extended.extend(xs, ys).ok());
    FUZZ_CHECK(extended.to_bytes() == pushed.to_bytes());
    Result<double> direct = dot(xs, ys);
    Result<double> value = pushed.try_value();
    FUZZ_CHECK(direct.ok() == value.ok());
    if (value.ok()) FUZZ_CHECK(fuzz::same_bits(direct.value(), value.value()));
    xs.push_back(1.0);
    FUZZ_CHECK(!extended.extend(xs, ys).ok());
    FUZZ_CHECK(extended.to_bytes() == pushed.to_bytes());
  }
};

struct Extrema {
  ExtremaF64 e;
  std::vector<double> seen;

  void add(double x) {
    e.add(x);
    seen.push_back(x);
  }
  void check() {
    ExtremaF64 batched;
    batched.extend(seen);
    FUZZ_CHECK(batched.to_bytes() == e.to_bytes());
    std::vector<double> finite;
    bool nan = false;
    for (double x : seen) {
      if (is_nan(x))
        nan = true;
      else
        finite.push_back(x);
    }
    auto lo = e.try_min();
    if (nan || finite.empty()) {
      FUZZ_CHECK(!lo.ok());
      return;
    }
    auto by_key = [](double a, double b) { return order_key(a) < order_key(b); };
    double mn = *std::min_element(finite.begin(), finite.end(), by_key);
    double mx = *std::max_element(finite.begin(), finite.end(), by_key);
    FUZZ_CHECK(lo.ok() && order_key(lo.value()) == order_key(mn));
    FUZZ_CHECK(order_key(e.try_max().value()) == order_key(mx));
    Result<ExtremaF64> again = ExtremaF64::from_bytes(e.to_bytes());
    FUZZ_CHECK(again.ok() && again.value().to_bytes() == e.to_bytes());
  }
};

void check_histogram(Input& in) {
  std::vector<double> edges(in.u8() % 8);
  for (double& x : edges) x = in.f64();
  Result<HistogramF64> made = HistogramF64::create(edges);
  if (!made.ok()) return;
  HistogramF64& h = made.value();
  std::vector<uint64_t> naive(edges.size() + 1);
  uint64_t nans = 0;
  std::vector<double> fed;
  for (int k = in.u8() % 32; k > 0; --k) {
    double x = in.f64();
    h.add(x);
    fed.push_back(x);
    if (is_nan(x)) {
      ++nans;
      continue;
    }
    size_t bin = 0;
    for (double e : edges) bin += order_key(e) <= order_key(x);
    ++naive[bin];
  }
  FUZZ_CHECK(h.try_counts().value() == naive);
  HistogramF64 batched = HistogramF64::create(edges).value();
  batched.extend(fed);
  FUZZ_CHECK(encode(batched) == encode(h));
  FUZZ_CHECK(h.nan_count == nans);
  double q = in.f64();
  auto bounds = h.try_quantile_bounds(q);
  if (bounds.ok()) {
    FUZZ_CHECK(q >= 0.0 && q <= 1.0);
    FUZZ_CHECK(order_key(bounds.value().first) < order_key(bounds.value().second));
  }
  Result<HistogramF64> again = HistogramF64::decode(encode(h));
  FUZZ_CHECK(again.ok() && encode(again.value()) == encode(h));
}

// Keys are whatever the fuzzer gives, kept when they are valid UTF-8 (all a
// Python str can produce), otherwise replaced by a fixed key.
std::string key_from(Input& in) {
  ByteView b = in.bytes(in.u8() % 6);
  if (!valid_utf8(b)) return "\xc3\xa9";
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

template <class M>
void check_map_pair(const M& a, const M& b) {
  M ab = a, ba = b;
  FUZZ_CHECK(ab.merge(b).ok() && ba.merge(a).ok());
  FUZZ_CHECK(encode(ab) == encode(ba));
  Result<M> again = M::decode(encode(ab));
  FUZZ_CHECK(again.ok() && encode(again.value()) == encode(ab));
}

void check_replicated(const ReplicatedSum& a, const ReplicatedSum& b) {
  ReplicatedSum once = a;
  FUZZ_CHECK(once.join(b).ok());
  ReplicatedSum twice = once;
  FUZZ_CHECK(twice.join(b).ok());
  FUZZ_CHECK(encode(once) == encode(twice));
  Result<ReplicatedSum> again = ReplicatedSum::decode(encode(once));
  FUZZ_CHECK(again.ok() && encode(again.value()) == encode(once));
  (void)once.value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Sums sums;
  Dots dots;
  Extrema extrema;
  SumMap smaps[2];
  MomentsMap mmaps[2];
  ReplicatedSum reps[2];
  check_histogram(in);
  while (!in.empty()) {
    uint8_t op = in.u8();
    int side = op >> 7;
    switch (op % 9) {
      case 0:
      case 1:
        sums.add(in.f64(), side);
        break;
      case 2:
        sums.flush(side);
        break;
      case 3: {
        double a = in.f64();
        dots.push(a, in.f64());
        break;
      }
      case 4:
        extrema.add(in.f64());
        break;
      case 5: {
        std::string key = key_from(in);
        (void)smaps[side].add(key, in.f64());
        break;
      }
      case 6: {
        std::string key = key_from(in);
        (void)mmaps[side].add(key, in.f64());
        break;
      }
      case 7: {
        uint64_t replica = in.u8() < 128 ? in.u8() % 4 : in.u64();
        (void)reps[side].add(replica, in.f64());
        break;
      }
      case 8: {
        // A replica that copies the other side's slots (what a join brings).
        FUZZ_CHECK(reps[side].join(reps[1 - side]).ok());
        break;
      }
    }
  }
  sums.check();
  dots.check();
  extrema.check();
  check_map_pair(smaps[0], smaps[1]);
  check_map_pair(mmaps[0], mmaps[1]);
  check_replicated(reps[0], reps[1]);
  return 0;
}
