// `_slide`: one answer per rolling or expanding window of a column, the
// windows slid in one pass of the core (stats/sliding.hpp) with the
// interpreter lock released.
#include <span>
#include <string_view>
#include <vector>

#include "answer_args.hpp"
#include "arrays.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "stats/sliding.hpp"

namespace tallix::py {

namespace {

// An answer's name as read_answer_name takes it, or "count" ("nancount").
bool read_slide_answer(PyObject* o, SlideRequest& out) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &len) : nullptr;
  PyErr_Clear();
  const std::string_view name = text ? std::string_view(text, static_cast<size_t>(len)) : "";
  if (name == "count" || name == "nancount") {
    out.what = SlideAnswer::Count;
    out.skip_nans = name == "nancount";
    return true;
  }
  AnswerName a;
  if (!read_answer_name(o, true, a)) return false;
  switch (a.what) {
    case MomentAnswer::Sum:
      out.what = SlideAnswer::Sum;
      break;
    case MomentAnswer::Mean:
      out.what = SlideAnswer::Mean;
      break;
    case MomentAnswer::Var:
      out.what = SlideAnswer::Var;
      break;
    case MomentAnswer::Std:
      out.what = SlideAnswer::Std;
      break;
  }
  out.skip_nans = a.skip_nans;
  out.precision = a.precision;
  return true;
}

// A 1-D contiguous native int64 array of `count` entries.
bool open_bounds(PyObject* o, HeldBuffer& buffer, size_t count, const int64_t*& out) {
  if (!buffer.open(o, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
  const Py_buffer& v = buffer.view();
  const auto f = parse_element(buffer.format(), static_cast<size_t>(v.itemsize));
  if (v.ndim != 1 || static_cast<size_t>(v.shape[0]) != count || !f || f->swapped ||
      f->kind != Element::I64) {
    PyErr_SetString(PyExc_ValueError,
                    "bounds must be contiguous int64 arrays with one entry per window");
    return false;
  }
  out = static_cast<const int64_t*>(v.buf);
  return true;
}

constexpr Signature kSlideSig = parse_signature("_slide(what, values, out, windows)");

// The windows' tuple (window, offset, starts, ends, min_periods, ddof).
bool read_windows(PyObject* o, SlideBounds& bounds, PyObject*& starts, PyObject*& ends,
                  SlideRequest& request) {
  if (!PyTuple_Check(o) || PyTuple_Size(o) != 6) {
    PyErr_SetString(PyExc_TypeError,
                    "windows must be the tuple (window, offset, starts, ends, min_periods, ddof)");
    return false;
  }
  int64_t min_periods = 0;
  if (!to_i64(PyTuple_GetItem(o, 0), "window", bounds.window) ||
      !to_i64(PyTuple_GetItem(o, 1), "offset", bounds.offset) ||
      !to_i64(PyTuple_GetItem(o, 4), "min_periods", min_periods) ||
      !to_ddof(PyTuple_GetItem(o, 5), request.ddof))
    return false;
  if (min_periods < 0 || bounds.window < 0) {
    PyErr_SetString(PyExc_ValueError, "window and min_periods must not be negative");
    return false;
  }
  constexpr int64_t kWidest = int64_t{1} << 62;  // window ends then never overflow
  if (bounds.window > kWidest || bounds.offset > kWidest || bounds.offset < -kWidest) {
    PyErr_SetString(PyExc_ValueError, "window and offset must lie within ±2**62");
    return false;
  }
  request.min_periods = static_cast<uint64_t>(min_periods);
  starts = PyTuple_GetItem(o, 2);
  ends = PyTuple_GetItem(o, 3);
  return true;
}

// A column of values read as binary64: opened with the interpreter lock
// held, converted (in place where it already is binary64) without it.
class Column {
 public:
  bool open(PyObject* o) {
    if (!input_.open(o, 1)) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "values must be 1-D arrays of reals, not '%s'",
                     type_name(o).c_str());
      return false;
    }
    if (!input_.as_buffer()) return false;
    input_.buffer().pull(size(), scratch_);
    return true;
  }
  size_t size() const { return input_.buffer().rows(); }
  bool convert() { return input_.buffer().convert(scratch_, data_); }
  void refuse() const { input_.refuse(); }
  std::span<const double> values() const { return {data_, size()}; }

 private:
  ArrayInput input_;
  std::vector<double> scratch_;
  const double* data_ = nullptr;
};

// The interpreter lock let go for a long pass, taken back briefly between
// its chunks to look for signals (Ctrl-C stops a pass of minutes).
class PolledRelease {
 public:
  explicit PolledRelease(bool release) : saved_(release ? PyEval_SaveThread() : nullptr) {}
  PolledRelease(const PolledRelease&) = delete;
  PolledRelease& operator=(const PolledRelease&) = delete;
  ~PolledRelease() {
    if (saved_) PyEval_RestoreThread(saved_);
  }
  SlidePoll poll() { return {&keep_going, this}; }

 private:
  static bool keep_going(void* context) {
    auto* self = static_cast<PolledRelease*>(context);
    if (self->saved_) PyEval_RestoreThread(self->saved_);
    const bool go_on = PyErr_CheckSignals() == 0;
    if (self->saved_) self->saved_ = PyEval_SaveThread();
    return go_on;
  }

  PyThreadState* saved_;
};

// The answers of pairs and of shapes, beside those of sliding.hpp's moments.
enum class Family : uint8_t { Moments, Shape, Pairs };
struct Asked {
  Family family = Family::Moments;
  SlideRequest moments;
  ShapeAnswer shape = ShapeAnswer::Skew;
  PairSlide pair = PairSlide::Cov;
};

bool read_asked(PyObject* o, Asked& out) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &len) : nullptr;
  PyErr_Clear();
  const std::string_view name = text ? std::string_view(text, static_cast<size_t>(len)) : "";
  if (name == "skew" || name == "kurt") {
    out.family = Family::Shape;
    out.shape = name == "skew" ? ShapeAnswer::Skew : ShapeAnswer::Kurt;
    return true;
  }
  if (name == "cov" || name == "corr") {
    out.family = Family::Pairs;
    out.pair = name == "cov" ? PairSlide::Cov : PairSlide::Corr;
    return true;
  }
  return read_slide_answer(o, out.moments);
}

PyObject* slide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{nullptr, "_slide"};
  return bound_call(kSlideSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    Asked asked;
    SlideBounds bounds;
    PyObject *starts_arg = nullptr, *ends_arg = nullptr;
    if (!read_asked(b[0], asked) ||
        !read_windows(b[3], bounds, starts_arg, ends_arg, asked.moments))
      return nullptr;
    const bool pairs = asked.family == Family::Pairs;
    if (pairs && (!PyTuple_Check(b[1]) || PyTuple_Size(b[1]) != 2)) {
      PyErr_SetString(PyExc_TypeError, "the values of cov and corr are the tuple (xs, ys)");
      return nullptr;
    }
    Column xs, ys;
    if (!xs.open(pairs ? PyTuple_GetItem(b[1], 0) : b[1]) ||
        (pairs && !ys.open(PyTuple_GetItem(b[1], 1))))
      return nullptr;
    if (pairs && xs.size() != ys.size()) {
      PyErr_Format(PyExc_ValueError, "xs and ys must have equal lengths, not %zu and %zu",
                   xs.size(), ys.size());
      return nullptr;
    }
    // One entry per window: the length of `out` says how many windows.
    const Py_ssize_t windows = PyObject_Length(b[2]);
    HeldBuffer out;
    if (windows < 0 ||
        !open_answer_out(b[2], out, static_cast<size_t>(windows), Element::F64, "out", "window"))
      return nullptr;
    const auto count = static_cast<size_t>(windows);
    HeldBuffer starts, ends;
    if (starts_arg != Py_None || ends_arg != Py_None) {
      if (!open_bounds(starts_arg, starts, count, bounds.starts) ||
          !open_bounds(ends_arg, ends, count, bounds.ends))
        return nullptr;
    }
    const std::span<double> answers(static_cast<double*>(out.view().buf), count);
    const SlideRequest& r = asked.moments;
    bool read_x = false, read_y = true;
    Status status;
    {
      PolledRelease scope(xs.size() + count >= kMinUnlockedValues);
      read_x = xs.convert();
      if (read_x && pairs) read_y = ys.convert();
      if (read_x && read_y) {
        switch (asked.family) {
          case Family::Moments:
            status = slide_moments(xs.values(), bounds, r, answers, scope.poll());
            break;
          case Family::Shape:
            status =
                slide_shape(xs.values(), bounds, asked.shape, r.min_periods, answers, scope.poll());
            break;
          case Family::Pairs:
            status = slide_pairs(xs.values(), ys.values(), bounds, asked.pair, r.ddof,
                                 r.min_periods, answers, scope.poll());
            break;
        }
      }
    }
    if (!read_x || !read_y) {
      (read_x ? ys : xs).refuse();
      return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;  // a signal's exception stopped the pass
    if (!status.ok()) return raise_failure(status.failure(), who);
    Py_RETURN_NONE;
  });
}

}  // namespace

std::vector<PyMethodDef> sliding_defs() {
  return {fastcall_def<&slide>(
      "_slide",
      "_slide(what, values, out, windows)\n--\n\n"
      "out[i] = sum, mean, var, std or count (nan...: skipping NaNs; ...32: in binary32),\n"
      "skew or kurt of values[start:end], or cov or corr of the pairs (values = (xs, ys)),\n"
      "rounded once: end = i + 1 + offset and start = end - window clipped to the values,\n"
      "or starts[i] and ends[i] when given; windows is\n"
      "(window, offset, starts, ends, min_periods, ddof).")};
}

}  // namespace tallix::py
