// What is a real number and what is not: one Python object read by either
// rule, and the messages that refuse the rest.
#include "numbers.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "scoped.hpp"

namespace tallix::py {

namespace {

// The dtype an array-like reports, or its type's name.
std::string dtype_text(PyObject* o) {
  Owned dtype(PyObject_GetAttrString(o, "dtype"));
  if (!dtype) {
    PyErr_Clear();
    return type_name(o);
  }
  Owned str(PyObject_Str(dtype.get()));
  const char* text = str ? PyUnicode_AsUTF8AndSize(str.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : "?";
}

// "<what> has no exact float64 value (...)", with the binary64 value it
// would round to, or that it is beyond binary64's range.
void refuse_rounded(const std::string& what, double rounded, bool out_of_range) {
  if (out_of_range) {
    PyErr_Format(PyExc_ValueError, "%s has no exact float64 value (it is out of range)",
                 what.c_str());
    return;
  }
  Owned shown(PyFloat_FromDouble(rounded));
  Owned repr(shown ? PyObject_Repr(shown.get()) : nullptr);
  const char* text = repr ? PyUnicode_AsUTF8AndSize(repr.get(), nullptr) : nullptr;
  PyErr_Format(PyExc_ValueError, "%s has no exact float64 value (it would become %s)", what.c_str(),
               text ? text : "?");
}

void refuse_integer(const std::string& digits, PyObject* as_int) {
  double rounded = as_int ? PyLong_AsDouble(as_int) : 0.0;
  bool out_of_range = as_int && rounded == -1.0 && PyErr_Occurred();
  if (out_of_range) PyErr_Clear();
  refuse_rounded("integer " + digits, rounded, out_of_range);
}

bool is_missing_value(PyObject* o) { return type_name(o) == "NAType"; }

// Whether a pandas-style nullable column holds missing values: its dtype
// names pandas.NA as its missing value and isna() finds one. Its __array__
// would otherwise turn them into NaN or objects silently.
int has_missing_values(PyObject* o) {
  Owned dtype(PyObject_GetAttrString(o, "dtype"));
  Owned na(dtype ? PyObject_GetAttrString(dtype.get(), "na_value") : nullptr);
  if (!na || !is_missing_value(na.get())) {
    PyErr_Clear();
    return 0;
  }
  Owned mask(PyObject_CallMethod(o, "isna", nullptr));
  Owned any(mask ? PyObject_CallMethod(mask.get(), "any", nullptr) : nullptr);
  return any ? PyObject_IsTrue(any.get()) : -1;
}

bool integer_to_real(PyObject* integer, double& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow == 0) {
    uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (fits_binary64(magnitude)) {
      out = static_cast<double>(v);
      return true;
    }
  }
  // Wider than 53 bits: exact only if converting back gives the same integer.
  double d = PyLong_AsDouble(integer);
  if (!(d == -1.0 && PyErr_Occurred())) {
    Owned back(PyLong_FromDouble(d));
    int same = back ? PyObject_RichCompareBool(back.get(), integer, Py_EQ) : -1;
    if (same < 0) return false;
    if (same) {
      out = d;
      return true;
    }
  }
  PyErr_Clear();
  Owned digits(PyObject_Str(integer));
  const char* text = digits ? PyUnicode_AsUTF8AndSize(digits.get(), nullptr) : nullptr;
  if (!text) return false;
  refuse_integer(text, integer);
  return false;
}

bool refuse_complex(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected real numbers, not '%s' (a complex number)",
               type_name(o).c_str());
  return false;
}

// Whether `o` is an instance of module.name; 0 when that module was never
// imported, since then no such instance can exist.
int instance_of_imported(PyObject* o, const char* module, const char* name) {
  Owned key(PyUnicode_FromString(module));
  Owned loaded(key ? PyImport_GetModule(key.get()) : nullptr);
  if (!loaded) return PyErr_Occurred() ? -1 : 0;
  Owned cls(PyObject_GetAttrString(loaded.get(), name));
  return cls ? PyObject_IsInstance(o, cls.get()) : -1;
}

// Whether o's exact value is known and compares exactly with a float:
// Decimals and rationals (Fraction, any numbers.Rational).
int has_exact_value(PyObject* o) {
  int decimal = instance_of_imported(o, "decimal", "Decimal");
  if (decimal != 0) return decimal;
  return instance_of_imported(o, "numbers", "Rational");
}

std::string repr_text(PyObject* o) {
  Owned repr(PyObject_Repr(o));
  const char* text = repr ? PyUnicode_AsUTF8AndSize(repr.get(), nullptr) : nullptr;
  if (!text) PyErr_Clear();
  return text ? text : type_name(o);
}

// Takes the float conversion `d` of an exact-valued o only when it is o's
// value: a NaN stands for itself; anything else must compare equal.
bool exact_or_refused(PyObject* o, double d) {
  if (std::isnan(d)) return true;
  Owned converted(PyFloat_FromDouble(d));
  int same = converted ? PyObject_RichCompareBool(converted.get(), o, Py_EQ) : -1;
  if (same < 0) return false;
  if (!same) refuse_rounded(repr_text(o), d, std::isinf(d));
  return same;
}

// Numpy scalars (and 0-dimensional arrays) export their value as a
// 0-dimensional buffer, read like an array's element: 1 when read, 0 when
// `o` is no such scalar, -1 with the error set.
int scalar_from_buffer(PyObject* o, double& out) {
  if (!PyObject_CheckBuffer(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return 0;
  HeldBuffer buffer;
  if (!buffer.open(o, PyBUF_RECORDS_RO)) {
    PyErr_Clear();
    return 0;
  }
  const Py_buffer& view = buffer.view();
  std::optional<ElementFormat> f =
      parse_element(buffer.format(), static_cast<size_t>(view.itemsize));
  const char* at = static_cast<const char*>(view.buf);
  if (view.ndim != 0) return 0;  // an array, not a scalar
  if (is_complex_format(buffer.format())) return (refuse_complex(o), -1);
  if (!f) return 0;  // records, text
  if (read_elements(*f, at, 0, 1, &out) == 1) return 1;
  refuse_inexact(*f, at);
  return -1;
}

}  // namespace

bool refuse_text(PyObject* o, const char* expected) {
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "expected %s, not '%s'", expected, type_name(o).c_str());
    return true;
  }
  if (PyBytes_Check(o) || PyByteArray_Check(o)) {
    PyErr_Format(PyExc_TypeError,
                 "expected real numbers, not '%s' (raw bytes hold text or memory, not values; "
                 "read numbers from them with numpy.frombuffer)",
                 PyBytes_Check(o) ? "bytes" : "bytearray");
    return true;
  }
  return false;
}

void refuse_dtype(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected real numbers, not an array of dtype %s",
               dtype_text(o).c_str());
}

int refuse_missing_values(PyObject* o) {
  int missing = has_missing_values(o);
  if (missing > 0) refuse_missing();
  return missing;
}

bool float_from_object(PyObject* o, double& out) {
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}

bool real_from_object(PyObject* o, double& out) {
  if (PyFloat_Check(o)) {
    out = PyFloat_AsDouble(o);
    return true;
  }
  if (PyLong_Check(o)) return integer_to_real(o, out);
  if (is_missing_value(o)) {
    refuse_missing();
    return false;
  }
  if (PyComplex_Check(o)) return refuse_complex(o);
  if (int read = scalar_from_buffer(o, out); read != 0) return read > 0;
  if (PyIndex_Check(o) && !PyUnicode_Check(o)) {  // integers of other kinds
    Owned integer(PyNumber_Index(o));
    return integer && integer_to_real(integer.get(), out);
  }
  int exact = has_exact_value(o);
  if (exact < 0) return false;
  out = PyFloat_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) {
    // A Fraction beyond binary64 overflows its conversion.
    if (!exact || !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    refuse_rounded(repr_text(o), 0.0, true);
    return false;
  }
  return !exact || exact_or_refused(o, out);
}

void refuse_missing() {
  PyErr_SetString(PyExc_ValueError,
                  "the values contain missing values (pandas.NA or Arrow nulls); drop them with "
                  ".dropna() or fill them with .fillna(value) first");
}

void refuse_inexact(ElementFormat f, const char* at) {
  if (f.is_integer()) {
    char text[24];
    std::string digits(describe_integer(f, at, text));
    Owned integer(PyLong_FromString(digits.c_str(), nullptr, 10));
    if (integer) refuse_integer(digits, integer.get());
    return;
  }
  char text[48];
  double rounded = rounded_long_double(f, at);
  refuse_rounded("long double " + std::string(describe_long_double(f, at, text)), rounded,
                 std::isinf(rounded));
}

int refuse_masked(PyObject* o) {
  int masked = instance_of_imported(o, "numpy.ma", "MaskedArray");
  if (masked > 0) {
    PyErr_SetString(PyExc_TypeError,
                    "expected real numbers, not a masked array: masked arrays are not read (fill "
                    "them with .filled(value) or drop the masked values with .compressed() "
                    "first)");
  }
  return masked;
}

PyObject* int_from_wide(const WideInt& v) {
  std::string text = v.negative ? "-" : "";
  static constexpr char kDigits[] = "0123456789abcdef";
  bool leading = true;
  for (size_t w = v.words.size(); w-- > 0;) {
    for (int shift = 60; shift >= 0; shift -= 4) {
      unsigned d = static_cast<unsigned>(v.words[w] >> shift) & 15u;
      if (leading && d == 0) continue;
      leading = false;
      text.push_back(kDigits[d]);
    }
  }
  if (leading) text.push_back('0');
  return PyLong_FromString(text.c_str(), nullptr, 16);
}

}  // namespace tallix::py
