// Prints one line per seeded workload: its name, the state receipt and the
// SHA-256 of the record of every query answer. The workloads are the
// statements of tests/golden/workloads.txt, which tests/golden/workloads.py
// runs through the module; this runs them on the core alone, so that builds
// with different compilers, optimisation levels and fma routines can be
// compared with the pinned receipts.
//
//   repro_receipts [--portable] [--records] [PLAN]
//     --portable  run the batch kernels in their portable form
//     --records   print the record text after each line
//     PLAN        the workload file (default: tests/golden/workloads.txt)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classes.hpp"
#include "kernels/table.hpp"
#include "receipt.hpp"
#include "workload_plan.hpp"

namespace {

using namespace tallix;
using plan::Arg;
using plan::Items;
using plan::Step;

constexpr uint64_t kSign = uint64_t{1} << 63;
constexpr uint64_t kFrac = (uint64_t{1} << 52) - 1;

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

// The saturated mode draws as plain does; its states start near the wrap.
Inputs make_inputs(const std::string& mode, uint64_t seed, size_t n) {
  SplitMix64 g{seed};
  Inputs in;
  for (size_t i = 0; i < n; ++i) {
    uint64_t b = mode == "tiny" ? draw_tiny(g) : mode == "mixed" ? draw_mixed(g) : draw_plain(g);
    in.xs.push_back(std::bit_cast<double>(b));
  }
  for (size_t i = 0; i < n; ++i) in.aux.push_back(g.next());
  return in;
}

// ---- answers as the record writes them ----

std::string hex(ByteView b) {
  std::string s;
  char buf[3];
  for (uint8_t c : b) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    s += buf;
  }
  return s;
}

std::string sha_hex(ByteView b) { return hex(sha256(b)); }

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

// The text of the exception the module raises for the failure.
std::string message(const Failure& f) {
  if (auto* e = std::get_if<StatsError>(&f)) return name_of(*e);
  if (std::holds_alternative<DotError>(f)) return "ExactnessLost";
  if (auto* e = std::get_if<InputError>(&f))
    return *e == InputError::WrongLength ? "wrong byte length"
                                         : "undefined (insufficient data or invalid input)";
  return "usage failure";
}

// "=value", or "!error" where the module raises.
template <class T>
std::string answer(const T& v) {
  return "=" + fmt(v);
}
template <class T>
std::string answer(const Result<T>& r) {
  return r.ok() ? "=" + fmt(r.value()) : "!" + message(r.failure());
}
std::string answer(const Status& s) { return s.ok() ? "=ok" : "!" + message(s.failure()); }

// ---- the items of a feed or an extend ----

struct Item {
  Items::Shape shape;
  std::span<const double> lead;  // all values of the item but the last
  double last;
  const Arg* pick;  // the list entry of a NAME.x item
};

std::vector<Item> items_of(const Items& wanted, const Inputs& in) {
  std::vector<Item> one;
  const size_t count = std::min(in.xs.size() / wanted.width, wanted.stop);
  for (size_t i = wanted.start; i < count; i += wanted.step) {
    auto group = std::span<const double>(in.xs).subspan(wanted.width * i, wanted.width);
    Item it{wanted.shape, group.first(wanted.width - 1), group.back(), nullptr};
    if (wanted.picks) it.pick = &(*wanted.picks)[in.aux[i] % wanted.picks->size()];
    one.push_back(it);
  }
  std::vector<Item> out;
  for (size_t k = 0; k < wanted.times; ++k) out.insert(out.end(), one.begin(), one.end());
  return out;
}

// Calls f with the item's values, typed as the core's updates take them.
template <class F>
bool with_item(const Item& it, F&& f) {
  switch (it.shape) {
    case Items::Shape::Single:
      return f(it.last);
    case Items::Shape::Pair:
      return f(it.lead[0], it.last);
    case Items::Shape::Row:
      return f(it.lead, it.last);
    case Items::Shape::Pick:
      if (it.pick->kind == Arg::Kind::Text) return f(std::string_view(it.pick->text), it.last);
      return f(it.pick->integer, it.last);
  }
  return false;
}

// The updates a feed may name; the module and the core share their names.
#define TOOL_UPDATE(name)                            \
  if (method == #name) {                             \
    if constexpr (requires { s.name(values...); }) { \
      (void)s.name(values...);                       \
      return true;                                   \
    }                                                \
  }

template <class T>
void update(T& s, const std::string& method, const Item& it) {
  bool done = with_item(it, [&](const auto&... values) {
    TOOL_UPDATE(add)
    TOOL_UPDATE(remove)
    TOOL_UPDATE(push)
    return false;
  });
  if (!done) plan::fail("no update " + method + " for these items");
}

// The module's extend(xs) or extend(xs, ys): the items' values as columns.
template <class T>
void extend(T& s, const std::vector<Item>& items) {
  std::vector<double> lead, last;
  for (const Item& it : items) {
    if (it.shape == Items::Shape::Pair) lead.push_back(it.lead[0]);
    last.push_back(it.last);
  }
  const bool pairs = !items.empty() && items[0].shape == Items::Shape::Pair;
  if constexpr (requires { s.extend(std::span<const double>(last)); }) {
    if (!pairs) return (void)s.extend(std::span<const double>(last));
  }
  if constexpr (requires {
                  s.extend(std::span<const double>(lead), std::span<const double>(last));
                }) {
    if (pairs) return (void)s.extend(std::span<const double>(lead), std::span<const double>(last));
  }
  plan::fail("no extend for these items");
}

// ---- queries ----

// Calls f with the query's arguments typed as the core takes them; `b` is
// the workload's second state.
template <class T, class F>
std::optional<std::string> with_args(const std::vector<Arg>& args, const T& b, F&& f) {
  auto typed = [&](const Arg& x, auto&& g) {
    switch (x.kind) {
      case Arg::Kind::Integer:
        return g(x.integer);
      case Arg::Kind::Real:
        return g(x.real);
      case Arg::Kind::Text:
        return g(std::string_view(x.text));
      case Arg::Kind::Reals:
      case Arg::Kind::Other:
        break;
    }
    return g(b);
  };
  if (args.empty()) return f();
  if (args.size() == 1) return typed(args[0], [&](const auto& x) { return f(x); });
  if (args.size() == 2)
    return typed(args[0], [&](const auto& x) {
      return typed(args[1], [&](const auto& y) { return f(x, y); });
    });
  plan::fail("a query takes at most two arguments");
}

// A query by its module name: the core's try_NAME where the answer can fail,
// NAME where it cannot, or the free try_NAME of a keyed map.
#define TOOL_QUERY(name)                                     \
  if (q.method == #name) {                                   \
    if constexpr (requires { a.try_##name(args...); })       \
      return answer(a.try_##name(args...));                  \
    else if constexpr (requires { a.name(args...); })        \
      return answer(a.name(args...));                        \
    else if constexpr (requires { try_##name(a, args...); }) \
      return answer(try_##name(a, args...));                 \
  }

// Every query a workload may ask besides `count`, by its module name.
// clang-format off
#define TOOL_QUERIES(Q)                                                                     \
  Q(value) Q(try_unmerge) Q(len) Q(total) Q(mean) Q(variance) Q(sample_variance) Q(stddev) \
  Q(skewness) Q(skewness_squared) Q(kurtosis) Q(excess_kurtosis) Q(live_count)             \
  Q(covariance) Q(slope) Q(intercept) Q(r_squared) Q(correlation) Q(sub) Q(regression)     \
  Q(regression_exact) Q(counts) Q(quantile_bounds) Q(min) Q(max) Q(range)
// clang-format on

template <class T>
std::string ask(T& a, const T& b, const plan::Query& q) {
  auto text = with_args(q.args, b, [&](const auto&... args) -> std::optional<std::string> {
    // `count` is `counted` in the core, whose states hold a field `count`.
    if (q.method == "count") {
      if constexpr (requires { a.counted(); })
        return answer(a.counted());
      else if constexpr (requires { total_count(a); })
        return answer(total_count(a));
    }
    TOOL_QUERIES(TOOL_QUERY)
    return std::nullopt;
  });
  if (!text) plan::fail("no query " + q.method + " with these arguments");
  return q.label + *text;
}

// ---- running a workload ----

template <class T>
T construct(const std::vector<Arg>& args) {
  if (args.empty()) {
    if constexpr (std::is_default_constructible_v<T>) return T{};
  } else if (args[0].kind == Arg::Kind::Integer) {
    if constexpr (requires { T::create(uint64_t{}); }) return T::create(args[0].integer).value();
  } else if (args[0].kind == Arg::Kind::Reals) {
    if constexpr (requires { T::create(std::span<const double>{}); })
      return T::create(args[0].reals).value();
  }
  plan::fail("no constructor for these arguments");
}

template <class T>
T decoded(ByteView form) {
  if constexpr (requires { T::decode(form); })
    return T::decode(form).value();
  else if constexpr (requires { T::from_bytes(form); })
    return T::from_bytes(form).value();
  plan::fail("a saturated form for a class without bytes");
}

template <class T>
std::string receipt(const T& a, const std::string& what) {
  if constexpr (Encodable<T>) {
    if (what == "state_hash") return hex(state_hash(a));
    if (what == "encode") return sha_hex(encode(a));
  }
  if constexpr (requires { a.value(); }) {
    if (what == "value") {
      Bytes v;
      ByteWriter{v}.f64(a.value());
      return sha_hex(v);
    }
  }
  plan::fail("no receipt " + what);
}

struct Context {
  const Inputs& in;
  std::vector<std::string>& record;
};

template <class T>
void feed(T& a, T& b, const Step& s, const Context& c) {
  std::vector<Item> items = items_of(s.items, c.in);
  for (size_t i = 0; i < items.size(); ++i) {
    T& target = s.target == 'b' || (s.target == 's' && i % 2 == 1) ? b : a;
    update(target, s.methods[i % s.methods.size()], items[i]);
  }
}

template <class T>
void combine(T& a, const T& b, const std::string& verb) {
  if constexpr (requires { a.merge(b); })
    if (verb == "merge") return (void)a.merge(b);
  if constexpr (requires { a.join(b); })
    if (verb == "join") return (void)a.join(b);
  plan::fail("no " + verb);
}

template <class T>
std::string run_steps(T& a, T& b, std::span<const Step> steps, const Context& c);

// The finished state is of another class; the remaining steps run on it.
template <class T>
std::string finish_then(const T& a, std::span<const Step> rest, const Context& c) {
  if constexpr (requires { a.finish(); }) {
    auto done = a.finish();
    decltype(done) other{};
    return run_steps(done, other, rest, c);
  }
  plan::fail("no finish");
}

template <class T>
std::string run_steps(T& a, T& b, std::span<const Step> steps, const Context& c) {
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    if (s.verb == "feed") {
      feed(a, b, s, c);
    } else if (s.verb == "extend") {
      extend(s.target == 'b' ? b : a, items_of(s.items, c.in));
    } else if (s.verb == "merge" || s.verb == "join") {
      combine(a, b, s.verb);
    } else if (s.verb == "ask") {
      for (const plan::Query& q : s.queries) c.record.push_back(ask(a, b, q));
    } else if (s.verb == "finish") {
      return finish_then(a, steps.subspan(i + 1), c);
    } else {
      return receipt(a, s.what);
    }
  }
  plan::fail("a workload ends with its receipt");
}

template <class T>
std::string run_workload(const plan::Workload& w, bool saturated, const Context& c) {
  T a = saturated ? decoded<T>(w.saturated) : construct<T>(w.args);
  T b = construct<T>(w.args);
  return run_steps(a, b, std::span<const Step>(w.steps), c);
}

using Runner = std::string (*)(const plan::Workload&, bool, const Context&);

// The module's classes in order; the plan must list the same, as a
// workload's seed follows from its position.
#define TOOL_RUNNER(T) {#T, run_workload<T>},
const std::pair<std::string, Runner> kRunners[] = {TALLIX_CLASSES(TOOL_RUNNER)};

void check_classes(const plan::Plan& p) {
  bool same = p.workloads.size() == std::size(kRunners);
  for (size_t i = 0; same && i < p.workloads.size(); ++i)
    same = p.workloads[i].name == kRunners[i].first;
  if (!same) plan::fail("the workloads must name every class, in module order");
}

void print_receipts(const plan::Plan& p, bool records) {
  for (size_t ci = 0; ci < p.workloads.size(); ++ci) {
    const plan::Workload& w = p.workloads[ci];
    for (size_t mi = 0; mi < p.modes.size(); ++mi) {
      const bool saturated = p.modes[mi] == "saturated";
      if (saturated && w.saturated.empty()) continue;
      Inputs in = make_inputs(p.modes[mi], 1000 * ci + mi, p.n);
      std::vector<std::string> record;
      std::string r;
      try {
        r = kRunners[ci].second(w, saturated, Context{in, record});
      } catch (const std::exception& e) {
        plan::fail(w.name + "/" + p.modes[mi] + ": " + e.what());
      }
      std::string text;
      for (size_t i = 0; i < record.size(); ++i) text += (i ? ";" : "") + record[i];
      auto bytes = ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      std::printf("%s/%s %s %s\n", w.name.c_str(), p.modes[mi].c_str(), r.c_str(),
                  sha_hex(bytes).c_str());
      if (records) std::printf("  %s\n", text.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool records = false;
  std::string path = "tests/golden/workloads.txt";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--records") == 0) {
      records = true;
    } else if (std::strcmp(argv[i], "--portable") == 0) {
      select_isa(Isa::Portable);
    } else if (argv[i][0] != '-') {
      path = argv[i];
    } else {
      std::fprintf(stderr, "usage: %s [--portable] [--records] [PLAN]\n", argv[0]);
      return 2;
    }
  }
  try {
    plan::Plan p = plan::read(path);
    check_classes(p);
    print_receipts(p, records);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "repro_receipts: %s\n", e.what());
    return 1;
  }
  return 0;
}
