// The shared answer arguments of answer_args.hpp.
#include "answer_args.hpp"

#include <cmath>
#include <optional>
#include <string_view>

#include "errors.hpp"

namespace tallix::py {

namespace {

// The largest integer ddof taken: every integer up to it is a binary64
// value, so an integer ddof reaches the core unrounded.
constexpr int64_t kMaxIntegerDdof = int64_t{1} << 53;

struct Named {
  std::string_view text;
  MomentAnswer what;
};
constexpr Named kAnswers[] = {{"sum", MomentAnswer::Sum},
                              {"mean", MomentAnswer::Mean},
                              {"var", MomentAnswer::Var},
                              {"std", MomentAnswer::Std}};

}  // namespace

bool to_i64(PyObject* o, const char* what, int64_t& out) {
  if (!PyLong_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not '%s'", what, type_name(o).c_str());
    return false;
  }
  out = PyLong_AsLongLong(o);
  return !(out == -1 && PyErr_Occurred());
}

bool to_ddof(PyObject* o, double& out) {
  if (PyFloat_Check(o)) {
    out = PyFloat_AsDouble(o);
  } else {
    Owned index(PyNumber_Index(o));
    if (!index) return false;
    int64_t v = 0;
    if (!to_i64(index.get(), "ddof", v)) return false;
    if (v > kMaxIntegerDdof || v < -kMaxIntegerDdof) {
      PyErr_SetString(PyExc_OverflowError, "ddof is too large");
      return false;
    }
    out = static_cast<double>(v);
  }
  if (!std::isfinite(out)) {
    PyErr_SetString(PyExc_ValueError, "ddof must be finite");
    return false;
  }
  return true;
}

bool read_answer_name(PyObject* o, bool nan_prefix, AnswerName& out) {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_Check(o) ? PyUnicode_AsUTF8AndSize(o, &len) : nullptr;
  PyErr_Clear();
  std::string_view name = text ? std::string_view(text, static_cast<size_t>(len)) : "";
  out.skip_nans = nan_prefix && name.starts_with("nan");
  if (out.skip_nans) name.remove_prefix(3);
  out.precision = name.ends_with("32") ? Precision::Binary32 : Precision::Binary64;
  if (out.precision == Precision::Binary32) name.remove_suffix(2);
  for (const Named& a : kAnswers) {
    if (a.text == name) {
      out.what = a.what;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown answer %R", o);
  return false;
}

bool open_answer_out(PyObject* o, HeldBuffer& buffer, size_t count, Element kind, const char* name,
                     const char* per) {
  if (!buffer.open(o, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
  const Py_buffer& v = buffer.view();
  const std::optional<ElementFormat> f =
      parse_element(buffer.format(), static_cast<size_t>(v.itemsize));
  if (v.ndim != 1 || static_cast<size_t>(v.shape[0]) != count || !f || f->swapped ||
      f->kind != kind || f->size != 8) {
    PyErr_Format(PyExc_ValueError, "%s must be a contiguous %s array with one entry per %s", name,
                 kind == Element::F64 ? "float64" : "int64", per);
    return false;
  }
  return true;
}

}  // namespace tallix::py
