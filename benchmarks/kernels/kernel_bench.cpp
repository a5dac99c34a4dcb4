// Speed of the batch paths in every kernel form this processor has, beside a
// plain floating-point loop over the same arrays in the same run, and the
// check that the forms agree: every form's state bytes must equal the
// portable form's (and, at small sizes, those of the single-update loops).
//
//   kernel_bench [--bytes-only] [--sizes 1000,10000000] [--forms portable,avx2,avx512]
//
// --bytes-only skips the timing: emulators run it so, as their times say
// nothing about the processor. Exit status 1 when bytes differ, 2 on bad
// arguments.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acc.hpp"
#include "dot.hpp"
#include "fast.hpp"
#include "kernels/table.hpp"
#include "stats/cov.hpp"
#include "stats/moments.hpp"

namespace {

using tallix::Bytes;
using tallix::Isa;

// Up to this size the single-update loops, the definition of every state, are
// affordable as a second reference.
constexpr size_t kSingleLoopMax = 100'000;
// Short arrays run many times per sample, so that the clock's resolution and
// a call's fixed cost do not swamp the per-value time.
constexpr size_t kValuesPerSample = size_t{1} << 21;
constexpr int kSamples = 7;

// Values of random exponents (2^-40 to 2^40) in pairs that cancel exactly,
// with 1% replaced by small noise, shuffled: the exact sum is tiny beside
// the terms, and the values span many bins.
std::vector<double> cancelling(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::vector<double> xs;
  xs.reserve(n);
  for (size_t i = 0; i < n / 2; ++i) xs.push_back(std::ldexp(normal(rng), exponent(rng)));
  std::vector<double> partners(xs);
  std::shuffle(partners.begin(), partners.end(), rng);
  for (double p : partners) xs.push_back(-p);
  while (xs.size() < n) xs.push_back(normal(rng));
  std::bernoulli_distribution noisy(0.01);
  for (double& x : xs)
    if (noisy(rng)) x = normal(rng);
  std::shuffle(xs.begin(), xs.end(), rng);
  return xs;
}

// Values of one exponent, uniform in [1, 2): every value lands in the same bins.
std::vector<double> narrow(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(1.0, 2.0);
  std::vector<double> xs(n);
  for (double& x : xs) x = uniform(rng);
  return xs;
}

struct DataSet {
  const char* kind;
  std::vector<double> x, y;  // independent, so that products do not square
};

// A pointer read through a volatile: the compiler cannot tell that repeated
// plain loops see the same array, so it cannot run one in place of many.
const double* opaque(const std::vector<double>& v) {
  const double* volatile p = v.data();
  return p;
}

// The reference: a sum (or, given y, a dot product) in four independent
// accumulators, as a compiler unrolls a plain loop it may not reorder.
template <bool kDot>
double plain(const double* x, const double* y, size_t n) {
  auto term = [&](size_t i) {
    if constexpr (kDot) return x[i] * y[i];
    return x[i];
  };
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += term(i);
    s1 += term(i + 1);
    s2 += term(i + 2);
    s3 += term(i + 3);
  }
  for (; i < n; ++i) s0 += term(i);
  return (s0 + s1) + (s2 + s3);
}

volatile double sink;

// Refused pairs cannot happen here (equal lengths), but a benchmark that
// timed a refusal would mislead.
void require(const tallix::Status& s) {
  if (!s.ok()) {
    std::fprintf(stderr, "kernel_bench: a batch update was refused\n");
    std::exit(2);
  }
}

// Each state's batch update (the timed path) and the single updates that
// define its bytes.
void batch(tallix::SumF64& s, const DataSet& d) { s.extend(d.x); }
void batch(tallix::DotF64& s, const DataSet& d) { require(s.extend(d.x, d.y)); }
void batch(tallix::CovF64& s, const DataSet& d) { require(s.extend(d.x, d.y)); }
void batch(tallix::MomentsF64& s, const DataSet& d) {
  s.extend(d.x);
  auto v = s.try_variance();
  sink = v.ok() ? v.value() : 0.0;
}
void single(tallix::SumF64& s, double x, double) { s.add(x); }
void single(tallix::DotF64& s, double x, double y) { s.push(x, y); }
void single(tallix::CovF64& s, double x, double y) { s.add(x, y); }
void single(tallix::MomentsF64& s, double x, double) { s.add(x); }

// The state bytes go to `out` when asked, outside the timed runs.
template <class State>
void run_batch(const DataSet& d, Bytes* out) {
  State s;
  batch(s, d);
  if (out) *out = s.to_bytes();
}

void run_fast_sum(const DataSet& d, Bytes* out) {
  tallix::FastSumF64 f;
  f.extend(d.x);
  tallix::SumF64 s = f.finish();
  if (out) *out = s.to_bytes();
}

template <class State>
Bytes run_singles(const DataSet& d) {
  State s;
  for (size_t i = 0; i < d.x.size(); ++i) single(s, d.x[i], d.y[i]);
  return s.to_bytes();
}

struct Case {
  const char* name;
  bool pairs;  // compared with the plain dot loop, else the plain sum
  void (*batch)(const DataSet& d, Bytes* out);
  Bytes (*singles)(const DataSet& d);
};

const Case kCases[] = {
    {"SumF64::extend", false, run_batch<tallix::SumF64>, run_singles<tallix::SumF64>},
    {"FastSumF64::extend + finish", false, run_fast_sum, run_singles<tallix::SumF64>},
    {"DotF64::extend", true, run_batch<tallix::DotF64>, run_singles<tallix::DotF64>},
    {"MomentsF64::extend + variance", false, run_batch<tallix::MomentsF64>,
     run_singles<tallix::MomentsF64>},
    {"CovF64::extend", true, run_batch<tallix::CovF64>, run_singles<tallix::CovF64>},
};

// Best of several samples, in nanoseconds per value.
template <class F>
double best_ns(size_t n, F&& run) {
  size_t calls = std::max<size_t>(1, kValuesPerSample / std::max<size_t>(n, 1));
  double best = std::numeric_limits<double>::infinity();
  for (int sample = 0; sample < kSamples; ++sample) {
    auto t0 = std::chrono::steady_clock::now();
    for (size_t c = 0; c < calls; ++c) run();
    std::chrono::duration<double, std::nano> dt = std::chrono::steady_clock::now() - t0;
    best = std::min(best, dt.count() / static_cast<double>(calls * n));
  }
  return best;
}

struct Form {
  const char* name;
  Isa isa;
};
constexpr Form kForms[] = {
    {"portable", Isa::Portable}, {"avx2", Isa::Avx2}, {"avx512", Isa::Avx512}};

struct Options {
  bool bytes_only = false;
  std::vector<size_t> sizes{1000, 10'000'000};
  std::vector<Form> forms;
};

std::vector<std::string_view> split(std::string_view s) {
  std::vector<std::string_view> parts;
  for (size_t start = 0; start <= s.size();) {
    size_t end = std::min(s.find(',', start), s.size());
    parts.push_back(s.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "kernel_bench: %s\nusage: kernel_bench [--bytes-only] [--sizes N,N...] "
               "[--forms portable,avx2,avx512]\n",
               why);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  std::string_view forms = "portable,avx2,avx512";
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--bytes-only") {
      o.bytes_only = true;
    } else if (arg == "--sizes" && has_value) {
      o.sizes.clear();
      for (std::string_view s : split(argv[++i])) {
        char* end = nullptr;
        std::string text(s);
        unsigned long long n = std::strtoull(text.c_str(), &end, 10);
        if (text.empty() || *end || n == 0) usage("--sizes takes positive whole numbers");
        o.sizes.push_back(n);
      }
    } else if (arg == "--forms" && has_value) {
      forms = argv[++i];
    } else {
      usage(("unknown or incomplete argument: " + std::string(arg)).c_str());
    }
  }
  for (std::string_view name : split(forms)) {
    auto f = std::find_if(std::begin(kForms), std::end(kForms),
                          [&](const Form& k) { return name == k.name; });
    if (f == std::end(kForms)) usage("--forms names portable, avx2 and avx512");
    if (tallix::isa_supported(f->isa))
      o.forms.push_back(*f);
    else
      std::printf("%s: not supported by this processor, skipped\n", f->name);
  }
  return o;
}

// Runs every case on one data set in every form; returns the number of
// cases whose bytes differ from the portable form's.
int run_data_set(const DataSet& d, const Options& o) {
  size_t n = d.x.size();
  if (!o.bytes_only) {
    double sum_ns = best_ns(n, [&] { sink = plain<false>(opaque(d.x), nullptr, n); });
    double dot_ns = best_ns(n, [&] { sink = plain<true>(opaque(d.x), opaque(d.y), n); });
    std::printf(
        "\nn = %zu, %s values: ns per value (pairs for products), ratio to the plain loop\n", n,
        d.kind);
    std::printf("  %-32s", "case");
    for (const Form& f : o.forms) std::printf("%22s", f.name);
    std::printf("\n  %-32s%11.3f ns\n  %-32s%11.3f ns\n", "plain sum, four-way unrolled", sum_ns,
                "plain dot, four-way unrolled", dot_ns);
    for (const Case& c : kCases) {
      std::printf("  %-32s", c.name);
      for (const Form& f : o.forms) {
        tallix::select_isa(f.isa);
        double ns = best_ns(n, [&] { c.batch(d, nullptr); });
        std::printf("%11.3f ns %6.2fx", ns, ns / (c.pairs ? dot_ns : sum_ns));
      }
      std::printf("\n");
    }
  }
  int differing = 0;
  for (const Case& c : kCases) {
    Bytes portable, other;
    tallix::select_isa(Isa::Portable);
    c.batch(d, &portable);
    std::vector<std::string> wrong;
    for (const Form& f : o.forms) {
      if (f.isa == Isa::Portable) continue;
      tallix::select_isa(f.isa);
      c.batch(d, &other);
      if (other != portable) wrong.push_back(f.name);
    }
    if (n <= kSingleLoopMax && c.singles(d) != portable) wrong.push_back("single updates");
    for (const std::string& w : wrong)
      std::printf("DIFFERS: %s, n = %zu, %s values: %s against portable\n", c.name, n, d.kind,
                  w.c_str());
    differing += !wrong.empty();
  }
  return differing;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (o.bytes_only) std::printf("bytes checked only: emulated time means nothing\n");
  std::string names = "portable";  // the reference, whichever forms are timed
  for (const Form& f : o.forms)
    if (f.isa != Isa::Portable) names += ", " + std::string(f.name);
  int cases = 0, differing = 0;
  for (size_t i = 0; i < o.sizes.size(); ++i) {
    size_t n = o.sizes[i];
    uint64_t seed = 4 * i;
    const DataSet sets[] = {{"cancelling", cancelling(n, seed), cancelling(n, seed + 1)},
                            {"narrow", narrow(n, seed + 2), narrow(n, seed + 3)}};
    for (const DataSet& d : sets) {
      differing += run_data_set(d, o);
      cases += static_cast<int>(std::size(kCases));
    }
  }
  if (differing) {
    std::printf("kernel_bench: %d of %d cases differ between forms (%s)\n", differing, cases,
                names.c_str());
    return 1;
  }
  std::printf(
      "kernel_bench: %d cases, bytes equal in every form (%s) and to single updates up to "
      "n = %zu\n",
      cases, names.c_str(), kSingleLoopMax);
  return 0;
}
