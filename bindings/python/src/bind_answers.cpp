// The companion's exact answers. `_moments` and `_cov` read their states
// under shared borrows, ask the core once and return a float (None where a
// part must be rebuilt in bands); `_int_sums` and `_int_answer` answer
// integer columns exactly at any width; `_row_answers` answers every row of
// a block without a state object per row.
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "answer_args.hpp"
#include "batch_call.hpp"
#include "blocks.hpp"
#include "elements.hpp"
#include "frame.hpp"
#include "numbers.hpp"
#include "registry.hpp"
#include "stats/answers.hpp"
#include "stats/grouped.hpp"
#include "stats/integers.hpp"
#include "stats/rows.hpp"
#include "streams.hpp"

namespace tallix::py {

namespace {

template <class E>
struct Name {
  std::string_view text;
  E value;
};

constexpr Name<MomentAnswer> kMoments[] = {
    {"mean", MomentAnswer::Mean}, {"var", MomentAnswer::Var}, {"std", MomentAnswer::Std}};
// The same answers rounded once to binary32, for float32 columns.
constexpr Name<MomentAnswer> kMoments32[] = {
    {"mean32", MomentAnswer::Mean}, {"var32", MomentAnswer::Var}, {"std32", MomentAnswer::Std}};
constexpr Name<PairAnswer> kPairs[] = {{"cov", PairAnswer::Cov},     {"var_x", PairAnswer::VarX},
                                       {"var_y", PairAnswer::VarY},  {"corr", PairAnswer::Corr},
                                       {"ratio", PairAnswer::Ratio}, {"sum_x", PairAnswer::SumX},
                                       {"sum_xy", PairAnswer::SumXY}};

template <class E, size_t N>
bool answer_named(PyObject* what, const Name<E> (&names)[N], E& out, bool raise = true) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(what) ? PyUnicode_AsUTF8AndSize(what, &len) : nullptr;
  if (text) {
    for (const Name<E>& n : names) {
      if (n.text == std::string_view(text, static_cast<size_t>(len))) {
        out = n.value;
        return true;
      }
    }
  }
  PyErr_Clear();
  if (raise) PyErr_Format(PyExc_ValueError, "unknown answer %R", what);
  return false;
}

template <class T>
bool is_a(PyObject* o) {
  return Py_TYPE(o) == class_record<T>.type;
}

// A part is a state, or a tuple of the state and its scales (one per column).
template <size_t Scales>
PyObject* split_part(PyObject* item, std::array<int64_t, Scales>& scales) {
  scales.fill(0);
  if (!PyTuple_Check(item)) return item;
  if (PyTuple_Size(item) != static_cast<Py_ssize_t>(Scales + 1)) {
    PyErr_Format(PyExc_ValueError, "a scaled part is (state%s)",
                 Scales == 1 ? ", scale" : ", scale_x, scale_y");
    return nullptr;
  }
  for (size_t k = 0; k < Scales; ++k) {
    if (!to_i64(PyTuple_GetItem(item, static_cast<Py_ssize_t>(k + 1)), "scale", scales[k]))
      return nullptr;
    if (scales[k] < -kMaxPartScale || scales[k] > kMaxPartScale) {
      PyErr_Format(PyExc_ValueError, "scale must lie within ±%lld",
                   static_cast<long long>(kMaxPartScale));
      return nullptr;
    }
  }
  return PyTuple_GetItem(item, 0);
}

// Every part of `parts` (one state, or a sequence of parts) through `add`,
// which takes the state object and its scales.
template <size_t Scales, class Add>
bool read_parts(PyObject* parts, Owned& held, Add add) {
  std::array<int64_t, Scales> scales{};
  if (!PyTuple_Check(parts) && !PyList_Check(parts)) {
    PyObject* state = split_part<Scales>(parts, scales);
    return state && add(state, scales);
  }
  held.reset(PySequence_Fast(parts, "parts must be a state or a sequence of parts"));
  if (!held) return false;
  Py_ssize_t n = PySequence_Size(held.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Owned item(PySequence_GetItem(held.get(), i));  // `held` keeps it alive after
    PyObject* state = item ? split_part<Scales>(item.get(), scales) : nullptr;
    if (!state || !add(state, scales)) return false;
  }
  return true;
}

bool refuse_part(PyObject* o, const char* expected) {
  PyErr_Format(PyExc_TypeError, "parts must hold %s states, not '%s'", expected,
               type_name(o).c_str());
  return false;
}

PyObject* answer(Result<double>&& r, const CallName& who) {
  if (!r.ok() && std::holds_alternative<StatsError>(r.failure()) &&
      std::get<StatsError>(r.failure()) == StatsError::ExactnessLost)
    Py_RETURN_NONE;
  return to_python(std::move(r), who);
}

constexpr Signature kMomentsSig = parse_signature("_moments(what, parts, ddof, missing)");

PyObject* moments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_moments"};
  return bound_call(kMomentsSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    MomentAnswer what;
    double ddof = 0;
    int64_t missing = 0;
    Precision precision = Precision::Binary32;
    if (!answer_named(b[0], kMoments32, what, false)) {
      precision = Precision::Binary64;
      if (!answer_named(b[0], kMoments, what)) return nullptr;
    }
    if (!to_ddof(b[2], ddof) || !to_i64(b[3], "missing", missing)) return nullptr;
    Borrow states;
    Owned held;
    std::vector<ScaledMoments> parts;
    auto add = [&](PyObject* o, const std::array<int64_t, 1>& k) {
      if (is_a<MomentsF64>(o)) {
        const MomentsF64* m = states.shared<MomentsF64>(o);
        if (m) parts.push_back({&m->sum_x, &m->sum_xx, k[0]});
        return m != nullptr;
      }
      if (!is_a<SumF64>(o) || what != MomentAnswer::Mean)
        return refuse_part(o, what == MomentAnswer::Mean ? "MomentsF64 or SumF64" : "MomentsF64");
      const SumF64* sum = states.shared<SumF64>(o);
      if (sum) parts.push_back({sum, nullptr, k[0]});
      return sum != nullptr;
    };
    if (!read_parts<1>(b[1], held, add)) return nullptr;
    return answer(moment_answer(parts, what, ddof,
                                static_cast<uint64_t>(std::max<int64_t>(missing, 0)), precision),
                  who);
  });
}

constexpr Signature kCovSig = parse_signature("_cov(what, parts, ddof)");

PyObject* cov(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_cov"};
  return bound_call(kCovSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    PairAnswer what;
    double ddof = 0;
    if (!answer_named(b[0], kPairs, what) || !to_ddof(b[2], ddof)) return nullptr;
    Borrow states;
    Owned held;
    std::vector<ScaledCov> parts;
    auto add = [&](PyObject* o, const std::array<int64_t, 2>& k) {
      if (!is_a<CovF64>(o)) return refuse_part(o, "CovF64");
      const CovF64* c = states.shared<CovF64>(o);
      if (c) parts.push_back({c, k[0], k[1]});
      return c != nullptr;
    };
    if (!read_parts<2>(b[1], held, add)) return nullptr;
    return answer(pair_answer(parts, what, ddof), who);
  });
}

// ---- integers -----------------------------------------------------------

// The widest exact sum taken: far beyond any sum of a column (2^64 values
// of 64 bits have squares summing to under 2^192), and a bound on the work
// a hostile argument can cause.
constexpr size_t kMaxWideBits = 4096;

// A Python int as sign and words, through its hexadecimal text (the limited
// API has no byte-array view of an int). Refuses more than kMaxWideBits.
bool to_wide(PyObject* o, const char* what, WideInt& out) {
  if (!PyLong_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not '%s'", what, type_name(o).c_str());
    return false;
  }
  Owned hex(PyNumber_ToBase(o, 16));
  Py_ssize_t len = 0;
  const char* text = hex ? PyUnicode_AsUTF8AndSize(hex.get(), &len) : nullptr;
  if (!text) return false;
  std::string_view digits(text, static_cast<size_t>(len));
  out.negative = digits.starts_with('-');
  digits.remove_prefix(out.negative ? 3 : 2);  // "-0x" or "0x"
  if (digits.size() > kMaxWideBits / 4) {      // four bits a hex digit
    PyErr_Format(PyExc_OverflowError, "%s has more than %zu bits", what, kMaxWideBits);
    return false;
  }
  out.words.assign((digits.size() + 15) / 16, 0);
  for (size_t i = 0; i < digits.size(); ++i) {
    char c = digits[digits.size() - 1 - i];
    uint64_t v = static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    out.words[i / 16] |= v << (4 * (i % 16));
  }
  return true;
}

constexpr Signature kIntAnswerSig = parse_signature("_int_answer(what, sums, ddof)");

PyObject* int_answer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_int_answer"};
  return bound_call(kIntAnswerSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    MomentAnswer what;
    WideInt s1, s2, n;
    double ddof = 0;
    if (!PyTuple_Check(b[1]) || PyTuple_Size(b[1]) != 3) {
      PyErr_SetString(PyExc_TypeError, "sums must be the tuple (Σx, Σx², n)");
      return nullptr;
    }
    if (!answer_named(b[0], kMoments, what) || !to_wide(PyTuple_GetItem(b[1], 0), "Σx", s1) ||
        !to_wide(PyTuple_GetItem(b[1], 1), "Σx²", s2) ||
        !to_wide(PyTuple_GetItem(b[1], 2), "n", n) || !to_ddof(b[2], ddof))
      return nullptr;
    return to_python(integer_moment(s1, s2, n, what, ddof), who);
  });
}

// One row's sums from a strided run of integers of type `V`.
template <class V>
void sum_row(const char* first, Py_ssize_t count, Py_ssize_t stride, IntegerSums& out) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    V v;
    std::memcpy(&v, first + i * stride, sizeof v);
    if constexpr (std::is_signed_v<V>)
      out.add(static_cast<int64_t>(v));
    else
      out.add(static_cast<uint64_t>(v));
  }
}

using RowSummer = void (*)(const char*, Py_ssize_t, Py_ssize_t, IntegerSums&);

// The summer of an element format of integers (booleans as 0 and 1) in
// native byte order; null for anything else.
RowSummer summer_for(const std::optional<ElementFormat>& f) {
  if (!f || f->swapped) return nullptr;
  if (f->kind == Element::Bool) return &sum_row<uint8_t>;
  auto summer = [](auto type) -> RowSummer { return &sum_row<typename decltype(type)::type>; };
  return with_integer_type(f->kind, summer).value_or(nullptr);
}

constexpr Signature kIntSumsSig = parse_signature("_int_sums(block)");

PyObject* int_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_int_sums"};
  return bound_call(kIntSumsSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    HeldBuffer buffer;
    if (!buffer.open(b[0], PyBUF_RECORDS_RO)) return nullptr;
    const Py_buffer& v = buffer.view();
    RowSummer sum = summer_for(parse_element(buffer.format(), static_cast<size_t>(v.itemsize)));
    if (!sum || v.ndim != 2) {
      PyErr_Format(PyExc_TypeError,
                   "_int_sums() takes a 2-D array of integers, not format '%s' in %d dimensions",
                   buffer.format(), v.ndim);
      return nullptr;
    }
    std::vector<IntegerSums> rows(static_cast<size_t>(v.shape[0]));
    {
      Unlocked scope(static_cast<size_t>(v.shape[0] * v.shape[1]) >= kMinUnlockedValues);
      const char* base = static_cast<const char*>(v.buf);
      for (Py_ssize_t r = 0; r < v.shape[0]; ++r)
        sum(base + r * v.strides[0], v.shape[1], v.strides[1], rows[static_cast<size_t>(r)]);
    }
    Owned s1(PyList_New(v.shape[0])), s2(PyList_New(v.shape[0]));
    if (!s1 || !s2) return nullptr;
    for (size_t r = 0; r < rows.size(); ++r) {
      PyObject* a = int_from_wide(rows[r].sum());
      if (!a) return nullptr;
      PyList_SetItem(s1.get(), static_cast<Py_ssize_t>(r), a);
      PyObject* q = int_from_wide(rows[r].squares());
      if (!q) return nullptr;
      PyList_SetItem(s2.get(), static_cast<Py_ssize_t>(r), q);
    }
    return PyTuple_Pack(2, s1.get(), s2.get());
  });
}

// ---- many rows --------------------------------------------------------------

// One answer per row of a block, with no state object per row: a tall
// array's axis reduction. Rows are read in the tiles of the row feed.
struct RowRequest {
  AnswerName name;
  double ddof = 0;
};

class RowAnswers {
 public:
  RowAnswers(const RowRequest& request, double* out)
      : request_(request), out_(out), one_(1, squares()), rows_(0, squares()) {}

  // The rows of a tile of a block `width` values wide, row(r) giving the
  // values of its row r. A row whose values arrive at once is answered at
  // once, in one group that serves every such row; the groups of rows whose
  // values arrive in several tiles live until their last tile.
  template <class Row>
  void take(const Tile& t, size_t width, Row row) {
    if (t.cols == width) {
      for (size_t r = 0; r < t.rows; ++r) out_[t.row + r] = answer_row(row(r));
      return;
    }
    if (t.opens_group()) rows_ = GroupedMoments(t.rows, squares());
    for (size_t r = 0; r < t.rows; ++r) rows_.feed_run(r, row(r), skip_nans());
    if (t.col + t.cols == width)
      for (size_t r = 0; r < t.rows; ++r) out_[t.row + r] = answer_of(rows_, r);
  }

 private:
  MomentAnswer what() const { return request_.name.what; }
  bool skip_nans() const { return request_.name.skip_nans; }
  bool squares() const { return what() == MomentAnswer::Var || what() == MomentAnswer::Std; }
  // A whole row: sums and means in one window where it holds the row.
  double answer_row(std::span<const double> row) {
    const bool binary32 = request_.name.precision == Precision::Binary32;
    if (!squares()) {
      if (auto s = window_sum(row, skip_nans()))
        return window_answer(*s, what() == MomentAnswer::Mean, binary32);
    } else if (auto v = window_spread(row, skip_nans(), request_.ddof, what() == MomentAnswer::Std,
                                      binary32)) {
      return *v;
    }
    one_.clear();
    one_.feed_run(0, row, skip_nans());
    return answer_of(one_, 0);
  }
  // NaN where the core has no number: the caller answers those rows itself.
  double answer_of(const GroupedMoments& g, size_t k) const {
    Result<double> v = g.answer(k, what(), request_.ddof, request_.name.precision);
    return v.ok() ? v.value() : std::numeric_limits<double>::quiet_NaN();
  }

  RowRequest request_;
  double* out_;
  GroupedMoments one_, rows_;
};

// A 2-D block's row count, or -1 with the error set.
Py_ssize_t block_rows(PyObject* block) {
  Owned shape(PyObject_GetAttrString(block, "shape"));
  Py_ssize_t rows = shape && PyTuple_Check(shape.get()) && PyTuple_Size(shape.get()) == 2
                        ? PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 0))
                        : -1;
  if (rows < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "block must be a 2-D array");
  return rows;
}

constexpr Signature kRowAnswersSig = parse_signature("_row_answers(what, block, ddof, out)");

PyObject* row_answers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_row_answers"};
  return bound_call(
      kRowAnswersSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
        RowRequest request;
        if (!read_answer_name(b[0], true, request.name) || !to_ddof(b[2], request.ddof))
          return nullptr;
        Blocks blocks;
        PyObject* block = b[1];
        const Py_ssize_t rows = block_rows(block);
        if (rows < 0) return nullptr;
        if (!blocks.open({&block, 1}, static_cast<size_t>(rows))) return nullptr;
        HeldBuffer out;
        if (!open_answer_out(b[3], out, static_cast<size_t>(rows), Element::F64, "out", "row"))
          return nullptr;
        RowAnswers answers(request, static_cast<double*>(out.view().buf));
        const size_t width = blocks.width(0);
        TilePlan plan = blocks.plan(static_cast<size_t>(rows));
        auto step = [&](const Tile& t) {
          answers.take(t, width, [&](size_t r) { return blocks.row(0, r); });
          return Status{};
        };
        if (!blocks.each_tile(plan, who, step)) return nullptr;
        Py_RETURN_NONE;
      });
}

constexpr Signature kRowAverageSig =
    parse_signature("_row_average(block, weights, out, weight_out)");

// The weighted mean of every row of a tall block and the sum of its
// weights, each rounded once; NaN where the window cannot answer a row (the
// caller asks states for it) or the weights sum to zero.
PyObject* row_average(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_row_average"};
  return bound_call(
      kRowAverageSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
        const Py_ssize_t rows = block_rows(b[0]);
        if (rows < 0) return nullptr;
        Blocks blocks;
        PyObject* both[] = {b[0], b[1]};
        if (!blocks.open(both, static_cast<size_t>(rows))) return nullptr;
        if (!blocks.equal_widths() || blocks.width(0) > kMaxWindowRow) {
          PyErr_Format(PyExc_ValueError,
                       "block and weights must have equal rows of at most %zu values",
                       kMaxWindowRow);
          return nullptr;
        }
        HeldBuffer out, weight_out;
        if (!open_answer_out(b[2], out, static_cast<size_t>(rows), Element::F64, "out", "row") ||
            !open_answer_out(b[3], weight_out, static_cast<size_t>(rows), Element::F64,
                             "weight_out", "row"))
          return nullptr;
        auto* means = static_cast<double*>(out.view().buf);
        auto* weights = static_cast<double*>(weight_out.view().buf);
        TilePlan plan = blocks.plan(static_cast<size_t>(rows));
        auto step = [&](const Tile& t) {
          for (size_t r = 0; r < t.rows; ++r) {
            const auto v = window_average(blocks.row(0, r), blocks.row(1, r));
            means[t.row + r] = v ? v->mean : std::numeric_limits<double>::quiet_NaN();
            weights[t.row + r] = v ? v->weight : std::numeric_limits<double>::quiet_NaN();
          }
          return Status{};
        };
        if (!blocks.each_tile(plan, who, step)) return nullptr;
        Py_RETURN_NONE;
      });
}

}  // namespace

std::vector<PyMethodDef> answer_defs() {
  return {
      fastcall_def<&moments>("_moments",
                             "_moments(what, parts, ddof, missing)\n--\n\n"
                             "mean, var or std of the sample held in parts, rounded once."),
      fastcall_def<&cov>("_cov",
                         "_cov(what, parts, ddof)\n--\n\n"
                         "cov, var_x, var_y, corr, ratio, sum_x or sum_xy of CovF64 parts."),
      fastcall_def<&int_sums>("_int_sums",
                              "_int_sums(block)\n--\n\n"
                              "Exact Σx and Σx² of each row of a 2-D integer array."),
      fastcall_def<&row_answers>("_row_answers",
                                 "_row_answers(what, block, ddof, out)\n--\n\n"
                                 "out[i] = sum, mean, var or std (nan... skipping NaNs; ...32 "
                                 "in binary32) of row i, rounded once; NaN where the core has no "
                                 "number."),
      fastcall_def<&row_average>(
          "_row_average",
          "_row_average(block, weights, out, weight_out)\n--\n\n"
          "out[i] = Σw·x / Σw of row i and weight_out[i] = Σw, rounded once; "
          "NaN where the core has no number."),
      fastcall_def<&int_answer>(
          "_int_answer",
          "_int_answer(what, sums, ddof)\n--\n\n"
          "mean, var or std of n integers from their exact sums (Σx, Σx², n)."),
  };
}

}  // namespace tallix::py
