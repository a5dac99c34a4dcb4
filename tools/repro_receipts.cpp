// Prints one line per seeded workload: its name, the state receipt and the
// SHA-256 of the record of every query answer. The workloads are the ones of
// tests/golden/workloads.py, step for step, run on the core alone, so that
// builds with different compilers, optimisation levels and fma routines can be
// compared with the pinned receipts.
//
//   repro_receipts [--portable] [--records]
//     --portable  run the batch kernels in their portable form
//     --records   print the record text after each line
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "covmat.hpp"
#include "fast.hpp"
#include "hist.hpp"
#include "kernels/table.hpp"
#include "lattice.hpp"
#include "receipt.hpp"
#include "replicated.hpp"
#include "stats.hpp"

namespace {

using namespace tallix;

constexpr size_t kN = 240;
constexpr uint64_t kMask = UINT64_MAX;
constexpr uint64_t kSign = uint64_t{1} << 63;
constexpr uint64_t kFrac = (uint64_t{1} << 52) - 1;
const char* const kModes[] = {"plain", "mixed", "tiny", "saturated"};
const char* const kKeys[] = {"", "a", "b", "\xc3\xa9", "e\xcc\x81", "zzzzzzzzzzzzzzzzzzzz"};
constexpr uint64_t kReplicas[] = {0, 1, 7, uint64_t{1} << 63, kMask};
constexpr double kEdges[] = {-1e300, -1000.0, -1.0, -0.0, 0.0, 5e-324, 1.0, 1000.0, 1e300};
constexpr double kQuantiles[] = {0.0, 0.25, 0.5, 0.75, 1.0};

struct SplitMix64 {
  uint64_t state;
  uint64_t next() {
    state += 0x9E3779B97F4A7C15u;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
};

double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

uint64_t draw_plain(SplitMix64& g) {
  uint64_t r = g.next();
  return (r & kSign) | ((993 + (r >> 52) % 61) << 52) | (g.next() & kFrac);
}

uint64_t draw_tiny(SplitMix64& g) {
  uint64_t r = g.next();
  return (r & kSign) | (((r >> 52) % 3) << 52) | (g.next() & kFrac);
}

uint64_t draw_mixed(SplitMix64& g) {
  switch (g.next() % 8) {
    case 0:
      return (g.next() & (kSign | kFrac)) | 0x7FF8000000000000u;
    case 1:
      return (g.next() & kSign) | 0x7FF0000000000000u;
    case 2:
      return draw_tiny(g);
    case 3:
      return g.next() & kSign;
    case 4: {
      uint64_t r = g.next();
      return (r & kSign) | ((2043 + (r >> 52) % 4) << 52) | (g.next() & kFrac);
    }
    default:
      return draw_plain(g);
  }
}

struct Inputs {
  std::vector<double> xs;
  std::vector<uint64_t> aux;
};

Inputs make_inputs(const std::string& mode, uint64_t seed) {
  SplitMix64 g{seed};
  Inputs in;
  for (size_t i = 0; i < kN; ++i) {
    uint64_t b = mode == "tiny" ? draw_tiny(g) : mode == "mixed" ? draw_mixed(g) : draw_plain(g);
    in.xs.push_back(from_bits(b));
  }
  for (size_t i = 0; i < kN; ++i) in.aux.push_back(g.next());
  return in;
}

// ---- saturated byte forms: counts at the top, limbs near the wrap ----

Bytes sat_sum() {
  Bytes out;
  ByteWriter w{out};
  for (int i = 0; i < 33; ++i) w.u64(kMask);
  w.u64(kMask >> 1);
  w.u8(0);
  w.u64(kMask - 1);
  return out;
}

Bytes repeat(const Bytes& b, int n) {
  Bytes out;
  for (int i = 0; i < n; ++i) out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::optional<Bytes> sat_form(const std::string& name) {
  const Bytes s = sat_sum();
  Bytes d = s;
  d.push_back(0);
  const Bytes zero{0};
  if (name == "SumF64" || name == "SumF32") return s;
  if (name == "MomentsF64") return cat({s, d});
  if (name == "Moments4F64") return cat({s, repeat(d, 3), zero});
  if (name == "CovF64") return cat({repeat(s, 2), repeat(d, 3)});
  if (name == "WeightedMomentsF64") return cat({s, repeat(d, 2), zero});
  if (name == "PnMomentsF64") return repeat(cat({s, d}), 2);
  if (name == "CovMatrixF64") return cat({Bytes{3, 0, 0, 0, 0}, repeat(s, 4), repeat(d, 9)});
  if (name == "HistogramF64") {
    Bytes out;
    ByteWriter w{out};
    w.u32(3);
    w.u8(0);
    for (double e : {-1.0, 0.0, 1.0}) w.f64(e);
    for (uint64_t c : {kMask, uint64_t{5}, kMask - 1, uint64_t{0}}) w.u64(c);
    w.u64(kMask);
    return out;
  }
  if (name == "ExtremaF64") {
    Bytes out;
    ByteWriter w{out};
    w.f64(-1.0);
    w.f64(2.0);
    w.u8(2);
    w.u64(kMask);
    return out;
  }
  return std::nullopt;
}

// ---- the record of query answers ----

std::string hex(ByteView b) {
  std::string s;
  char buf[3];
  for (uint8_t c : b) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    s += buf;
  }
  return s;
}

std::string fmt(double v) {
  if (std::isnan(v)) return "nan";
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx",
                static_cast<unsigned long long>(std::bit_cast<uint64_t>(v)));
  return buf;
}
std::string fmt(float v) { return fmt(static_cast<double>(v)); }
std::string fmt(uint64_t v) { return std::to_string(v); }
std::string fmt(bool v) { return v ? "1" : "0"; }
std::string fmt(const std::string& v) { return v; }
std::string fmt(const std::pair<double, double>& v) { return fmt(v.first) + "," + fmt(v.second); }
template <class T>
std::string fmt(const std::vector<T>& v) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) s += ',';
    s += fmt(v[i]);
  }
  return s;
}

std::string message(const Failure& f) {
  if (auto* e = std::get_if<StatsError>(&f)) return name_of(*e);
  if (std::holds_alternative<DotError>(f)) return "ExactnessLost";
  if (auto* e = std::get_if<InputError>(&f))
    return *e == InputError::WrongLength ? "wrong byte length"
                                         : "undefined (insufficient data or invalid input)";
  return "usage failure";
}

struct Record {
  std::vector<std::string> items;

  template <class T>
  void put(const std::string& name, const T& v) {
    items.push_back(name + "=" + fmt(v));
  }
  template <class T>
  void ask(const std::string& name, const Result<T>& r) {
    if (r.ok())
      put(name, r.value());
    else
      items.push_back(name + "!" + message(r.failure()));
  }
  std::string text() const {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i) {
      if (i) s += ';';
      s += items[i];
    }
    return s;
  }
};

std::string sha_hex(ByteView b) {
  Digest d = sha256(b);
  return hex(d);
}

template <class T>
std::string receipt(const T& s) {
  Digest d = state_hash(s);
  return hex(d);
}

// ---- the workloads, one function per class ----

template <class T, class Feed>
void split_feed(T& a, T& b, size_t n, Feed feed) {
  for (size_t i = 0; i < n; ++i) feed(i % 2 == 0 ? a : b, i);
}

template <class T>
T start(const std::string& name, const std::string& mode, T fresh) {
  if (mode != "saturated") return fresh;
  Bytes form = *sat_form(name);
  if constexpr (requires { T::decode(ByteView{}); })
    return T::decode(form).value();
  else
    return T::from_bytes(form).value();
}

struct Context {
  std::string name, mode;
  const std::vector<double>& xs;
  const std::vector<uint64_t>& aux;
  Record& rec;
};

template <class T>
std::string run_sum(Context& c) {
  T a = start(c.name, c.mode, T{}), b{};
  split_feed(a, b, kN, [&](T& s, size_t i) {
    if constexpr (std::is_same_v<T, SumF32>)
      s.add(static_cast<float>(c.xs[i]));
    else
      s.add(c.xs[i]);
  });
  a.merge(b);
  if constexpr (std::is_same_v<T, SumF64>) {
    c.rec.put("unmerge", a.try_unmerge(b));
    a.merge(b);
  }
  c.rec.put("count", a.counted());
  c.rec.put("value", a.value());
  return receipt(a);
}

std::string run_fast(Context& c) {
  FastSumF64 a;
  const size_t third = kN / 3;
  for (size_t i = 0; i < third; ++i) a.add(c.xs[i]);
  a.extend(std::span<const double>(c.xs).subspan(third));
  std::vector<double> many;
  for (int k = 0; k < 20; ++k) many.insert(many.end(), c.xs.begin(), c.xs.end());
  a.extend(many);
  c.rec.put("count", a.counted());
  SumF64 f = a.finish();
  c.rec.put("value", f.value());
  return receipt(f);
}

std::string run_dot(Context& c) {
  DotF64 a, b;
  std::vector<double> bx, by;
  for (size_t i = 0; i < kN / 2; ++i) {
    double p = c.xs[2 * i], q = c.xs[2 * i + 1];
    if (i % 2 == 0) {
      a.push(p, q);
    } else {
      bx.push_back(p);
      by.push_back(q);
    }
  }
  (void)b.extend(bx, by);
  a.merge(b);
  c.rec.ask("value", a.try_value());
  return receipt(a);
}

template <class T>
void feed_stats(T& a, T& b, Context& c) {
  if constexpr (std::is_same_v<T, CovF64> || std::is_same_v<T, WeightedMomentsF64>) {
    split_feed(a, b, kN / 2, [&](T& s, size_t i) { s.add(c.xs[2 * i], c.xs[2 * i + 1]); });
  } else if constexpr (std::is_same_v<T, PnMomentsF64>) {
    for (size_t i = 0; i < kN; ++i) {
      T& s = i % 2 == 0 ? a : b;
      if (i % 3 == 2)
        s.remove(c.xs[i]);
      else
        s.add(c.xs[i]);
    }
  } else {
    split_feed(a, b, kN, [&](T& s, size_t i) { s.add(c.xs[i]); });
  }
}

void ask_stats(const MomentsF64& a, Record& r) {
  r.put("count", a.counted());
  r.ask("mean", a.try_mean());
  r.ask("variance", a.try_variance());
  r.ask("sample_variance", a.try_sample_variance());
  r.ask("stddev", a.try_stddev());
}

void ask_stats(const Moments4F64& a, Record& r) {
  r.put("count", a.counted());
  r.ask("mean", a.try_mean());
  r.ask("variance", a.try_variance());
  r.ask("kurtosis", a.try_kurtosis());
  r.ask("excess_kurtosis", a.try_excess_kurtosis());
  r.ask("skewness", a.try_skewness());
  r.ask("skewness_squared", a.try_skewness_squared());
}

void ask_stats(const CovF64& a, Record& r) {
  r.put("count", a.counted());
  r.ask("covariance", a.try_covariance());
  r.ask("slope", a.try_slope());
  r.ask("intercept", a.try_intercept());
  r.ask("r_squared", a.try_r_squared());
  r.ask("correlation", a.try_correlation());
}

void ask_stats(const WeightedMomentsF64& a, Record& r) {
  r.put("count", a.counted());
  r.ask("mean", a.try_mean());
  r.ask("variance", a.try_variance());
}

void ask_stats(const PnMomentsF64& a, Record& r) {
  r.ask("live_count", a.live_count());
  r.ask("mean", a.try_mean());
  r.ask("variance", a.try_variance());
}

template <class T>
std::string run_stats(Context& c) {
  T a = start(c.name, c.mode, T{}), b{};
  feed_stats(a, b, c);
  a.merge(b);
  ask_stats(a, c.rec);
  return receipt(a);
}

std::string run_covmat(Context& c) {
  constexpr uint64_t d = 3;
  CovMatrixF64 a = start(c.name, c.mode, CovMatrixF64::create(d).value());
  CovMatrixF64 b = CovMatrixF64::create(d).value();
  split_feed(a, b, kN / 4, [&](CovMatrixF64& s, size_t i) {
    (void)s.add(std::span<const double>(c.xs).subspan(4 * i, 3), c.xs[4 * i + 3]);
  });
  a.merge(b);
  Status sub = a.try_sub(b);
  if (sub.ok())
    c.rec.put("sub", std::string("ok"));
  else
    c.rec.items.push_back("sub!" + message(sub.failure()));
  c.rec.put("count", a.counted());
  for (uint64_t i = 0; i < d; ++i)
    for (uint64_t j = i; j < d; ++j)
      c.rec.ask("cov" + std::to_string(i) + std::to_string(j), a.try_covariance(i, j));
  c.rec.ask("regression", a.try_regression());
  c.rec.ask("regression_exact", a.try_regression_exact());
  return receipt(a);
}

std::string run_hist(Context& c) {
  HistogramF64 a = start(c.name, c.mode, HistogramF64::create(kEdges).value());
  for (double x : c.xs) a.add(x);
  c.rec.ask("counts", a.try_counts());
  c.rec.put("total", a.total());
  for (size_t k = 0; k < std::size(kQuantiles); ++k) {
    std::string name = "q";
    name += std::to_string(k);
    c.rec.ask(name, a.try_quantile_bounds(kQuantiles[k]));
  }
  return receipt(a);
}

std::string run_extrema(Context& c) {
  ExtremaF64 a = start(c.name, c.mode, ExtremaF64{});
  for (double x : c.xs) a.add(x);
  c.rec.ask("min", a.try_min());
  c.rec.ask("max", a.try_max());
  c.rec.ask("range", a.try_range());
  return receipt(a);
}

template <class M>
std::string run_map(Context& c) {
  M a, b;
  constexpr size_t nkeys = std::size(kKeys);
  split_feed(a, b, kN, [&](M& s, size_t i) { (void)s.add(kKeys[c.aux[i] % nkeys], c.xs[i]); });
  (void)a.merge(b);
  c.rec.put("len", a.len());
  if constexpr (std::is_same_v<M, SumMap>) {
    c.rec.put("count", total_count(a));
    for (size_t k = 0; k < nkeys; ++k)
      c.rec.ask("value" + std::to_string(k), try_value(a, kKeys[k]));
  } else {
    for (size_t k = 0; k < nkeys; ++k) {
      c.rec.ask("mean" + std::to_string(k), try_mean(a, kKeys[k]));
      c.rec.ask("variance" + std::to_string(k), try_variance(a, kKeys[k]));
    }
  }
  return sha_hex(encode(a));
}

std::string run_replicated(Context& c) {
  ReplicatedSum a, b;
  constexpr size_t nrep = std::size(kReplicas);
  split_feed(a, b, kN,
             [&](ReplicatedSum& s, size_t i) { (void)s.add(kReplicas[c.aux[i] % nrep], c.xs[i]); });
  (void)a.join(b);
  c.rec.put("value", a.value());
  return sha_hex(encode(a));
}

std::string run_deltas(Context& c) {
  DeltasSum a;
  for (double x : c.xs) a.add(x);
  c.rec.put("value", a.value());
  Bytes v;
  ByteWriter{v}.f64(a.value());
  return sha_hex(v);
}

using Runner = std::string (*)(Context&);

const std::pair<const char*, Runner> kRunners[] = {
    {"SumF64", run_sum<SumF64>},
    {"SumF32", run_sum<SumF32>},
    {"FastSumF64", run_fast},
    {"DotF64", run_dot},
    {"MomentsF64", run_stats<MomentsF64>},
    {"Moments4F64", run_stats<Moments4F64>},
    {"CovF64", run_stats<CovF64>},
    {"WeightedMomentsF64", run_stats<WeightedMomentsF64>},
    {"PnMomentsF64", run_stats<PnMomentsF64>},
    {"CovMatrixF64", run_covmat},
    {"HistogramF64", run_hist},
    {"ExtremaF64", run_extrema},
    {"SumMap", run_map<SumMap>},
    {"MomentsMap", run_map<MomentsMap>},
    {"ReplicatedSum", run_replicated},
    {"DeltasSum", run_deltas},
};

}  // namespace

int main(int argc, char** argv) {
  bool records = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--records") == 0) {
      records = true;
    } else if (std::strcmp(argv[i], "--portable") == 0) {
      select_isa(Isa::Portable);
    } else {
      std::fprintf(stderr, "usage: %s [--portable] [--records]\n", argv[0]);
      return 2;
    }
  }
  for (size_t ci = 0; ci < std::size(kRunners); ++ci) {
    const auto& [name, runner] = kRunners[ci];
    for (size_t mi = 0; mi < std::size(kModes); ++mi) {
      const std::string mode = kModes[mi];
      if (mode == "saturated" && !sat_form(name)) continue;
      Inputs in = make_inputs(mode, 1000 * ci + mi);
      Record rec;
      Context c{name, mode, in.xs, in.aux, rec};
      std::string r = runner(c);
      std::string text = rec.text();
      std::printf(
          "%s/%s %s %s\n", name, mode.c_str(), r.c_str(),
          sha_hex(ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size())).c_str());
      if (records) std::printf("  %s\n", text.c_str());
    }
  }
  return 0;
}
