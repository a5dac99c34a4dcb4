// One real number from one Python object, by either of the two rules the
// readers apply (streams.hpp), and the errors that refuse what is not a real
// number: text, complex numbers, missing values, masked arrays, values that
// binary64 cannot hold.
#pragma once

#include "elements.hpp"
#include "python.hpp"
#include "stats/integers.hpp"

namespace tallix::py {

// The value float() gives: anything with __float__ or __index__, rounded to
// binary64 as float() rounds it.
bool float_from_object(PyObject* o, double& out);

// The value only when binary64 holds it: floats as they are; integers,
// Decimals, Fractions (any numbers.Rational) and numpy scalars only when
// binary64 holds them exactly; anything else through its __float__. Refuses
// text, bytes, complex and missing values with clear errors.
bool real_from_object(PyObject* o, double& out);

// Text and raw bytes are sequences, but not of the numbers they spell: true,
// with TypeError set naming what was `expected`, when `o` is either.
bool refuse_text(PyObject* o, const char* expected);
// 1 when `o` is a numpy masked array, with TypeError set; -1 on error.
int refuse_masked(PyObject* o);
// The TypeError for an array whose dtype is not real numbers.
void refuse_dtype(PyObject* o);
// The ValueError for a missing value (pandas.NA, an Arrow null).
void refuse_missing();
// The ValueError for the element at `at`, which binary64 cannot hold.
void refuse_inexact(ElementFormat f, const char* at);

// Whether a pandas-style nullable column holds missing values: 1 with
// ValueError set when its dtype names pandas.NA as its missing value and
// isna() finds one, -1 on error, else 0.
int refuse_missing_values(PyObject* o);

// A Python int from its sign and words.
PyObject* int_from_wide(const WideInt& v);

}  // namespace tallix::py
