// Arrow data through the C data interface: a column or a table, its
// batches fetched as rows are pulled, nulls refused.
#include "arrow.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "numbers.hpp"
#include "scoped.hpp"

namespace tallix::py {

namespace {

// The storage of an Arrow primitive format: "g" binary64, "l" int64, "b"
// one bit per boolean, and so on. The interface stores values in the
// machine's own byte order.
std::optional<ArrowColumn> column_of(std::string_view format) {
  if (format.size() != 1) return std::nullopt;
  auto of = [](Element kind, size_t size) { return ArrowColumn{{kind, false, size}, false}; };
  switch (format[0]) {
    case 'b':
      return ArrowColumn{{Element::Bool, false, 1}, true};
    case 'c':
      return of(Element::I8, 1);
    case 'C':
      return of(Element::U8, 1);
    case 's':
      return of(Element::I16, 2);
    case 'S':
      return of(Element::U16, 2);
    case 'i':
      return of(Element::I32, 4);
    case 'I':
      return of(Element::U32, 4);
    case 'l':
      return of(Element::I64, 8);
    case 'L':
      return of(Element::U64, 8);
    case 'e':
      return of(Element::F16, 2);
    case 'f':
      return of(Element::F32, 4);
    case 'g':
      return of(Element::F64, 8);
    default:
      return std::nullopt;
  }
}

bool refuse_format(const char* format) {
  PyErr_Format(PyExc_TypeError,
               "expected real numbers, not Arrow data of format '%s' (booleans, integers and "
               "floats are read)",
               format ? format : "?");
  return false;
}

bool refuse_shape(int ndim, int given) {
  PyErr_Format(PyExc_TypeError,
               "expected a %d-dimensional array of real numbers, not %d-dimensional", ndim, given);
  return false;
}

bool refuse_malformed(const char* what) {
  PyErr_Format(PyExc_ValueError, "malformed Arrow data: %s", what);
  return false;
}

bool bit(const void* bits, int64_t i) {
  return (static_cast<const uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1;
}

// Whether any of `count` validity bits from `from` on is clear; whole bytes
// at a time in the middle.
bool any_clear(const void* bits, int64_t from, size_t count) {
  const auto* bytes = static_cast<const uint8_t*>(bits);
  int64_t i = from, end = from + static_cast<int64_t>(count);
  for (; i < end && (i & 7) != 0; ++i)
    if (!bit(bits, i)) return true;
  for (; end - i >= 8; i += 8)
    if (bytes[i >> 3] != 0xFF) return true;
  for (; i < end; ++i)
    if (!bit(bits, i)) return true;
  return false;
}

// Whether slots [at, at + count) of an array hold a null.
bool has_nulls(const ArrowArray& a, int64_t at, size_t count) {
  if (a.null_count == 0 || a.n_buffers < 1 || !a.buffers[0]) return false;
  return any_clear(a.buffers[0], at, count);
}

// The checks a producer's column passes before its buffers are read: a
// validity and a data buffer, and at least `needed` values (a table's
// column holds the values of the table's offset too).
bool valid_column(const ArrowArray& a, int64_t needed) {
  return a.length >= needed && a.offset >= 0 && a.n_buffers == 2 && a.buffers &&
         (a.length == 0 || a.buffers[1]);
}

}  // namespace

bool ArrowSource::open(PyObject* o, int ndim) {
  if (PyObject_HasAttrString(o, "__pandas_priority__")) return false;
  Owned method(PyObject_GetAttrString(o, "__arrow_c_array__"));
  bool as_array = method.get() != nullptr;
  if (!method) {
    PyErr_Clear();
    method.reset(PyObject_GetAttrString(o, "__arrow_c_stream__"));
    if (!method) {
      PyErr_Clear();
      return false;
    }
  }
  Owned exported(PyObject_CallNoArgs(method.get()));
  if (!exported) return false;
  if (!(as_array ? open_array(exported.get()) : open_stream(exported.get()))) return false;
  if (!describe(ndim)) return false;
  for (Batch& b : pending_)  // the lone array of __arrow_c_array__
    if (!accept(b.array)) return false;
  schema_.reset();  // its formats are read
  open_ = true;
  return true;
}

bool ArrowSource::open_array(PyObject* capsules) {
  PyObject* schema = PyTuple_Check(capsules) && PyTuple_Size(capsules) == 2
                         ? PyTuple_GetItem(capsules, 0)
                         : nullptr;
  PyObject* array = schema ? PyTuple_GetItem(capsules, 1) : nullptr;
  if (!schema || !PyCapsule_IsValid(schema, "arrow_schema") ||
      !PyCapsule_IsValid(array, "arrow_array")) {
    PyErr_SetString(PyExc_TypeError,
                    "__arrow_c_array__() must return the capsules of an Arrow schema and array");
    return false;
  }
  schema_.take(static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema, "arrow_schema")));
  Released<ArrowArray> batch;
  batch.take(static_cast<ArrowArray*>(PyCapsule_GetPointer(array, "arrow_array")));
  if (!schema_.live() || !batch.live()) return refuse_malformed("a released schema or array");
  end_ = true;
  pending_.emplace_back(Batch{std::move(batch)});
  return true;
}

bool ArrowSource::open_stream(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, "arrow_array_stream")) {
    PyErr_SetString(PyExc_TypeError,
                    "__arrow_c_stream__() must return the capsule of an Arrow array stream");
    return false;
  }
  stream_.take(static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream")));
  if (!stream_.live()) return refuse_malformed("a released stream");
  ArrowArrayStream* s = stream_.get();
  if (int rc = s->get_schema(s, schema_.fill()); rc != 0) return stream_failed(rc);
  if (!schema_.live()) return refuse_malformed("a released schema");
  return true;
}

bool ArrowSource::stream_failed(int code) {
  ArrowArrayStream* s = stream_.get();
  const char* why = s->get_last_error ? s->get_last_error(s) : nullptr;
  PyErr_Format(PyExc_RuntimeError, "the Arrow stream failed (error %d): %s", code,
               why ? why : "no message");
  return false;
}

bool ArrowSource::describe(int ndim) {
  const ArrowSchema& schema = *schema_;
  if (!schema.format) return refuse_malformed("a schema without a format");
  table_ = std::string_view(schema.format) == "+s" && !schema.dictionary;
  if (!table_) return add_column(&schema) && (ndim == 1 || refuse_shape(ndim, 1));
  if (ndim != 2) return refuse_shape(ndim, 2);
  if (schema.n_children < 0 || (schema.n_children > 0 && !schema.children))
    return refuse_malformed("a struct without its fields");
  for (int64_t c = 0; c < schema.n_children; ++c)
    if (!add_column(schema.children[c])) return false;
  return true;
}

bool ArrowSource::add_column(const ArrowSchema* field) {
  if (!field || !field->format) return refuse_malformed("a field without a format");
  if (field->dictionary) {
    PyErr_SetString(PyExc_TypeError,
                    "expected real numbers, not dictionary-encoded Arrow data (decode it first)");
    return false;
  }
  std::optional<ArrowColumn> column = column_of(field->format);
  if (!column) return refuse_format(field->format);
  columns_.push_back(*column);
  return true;
}

bool ArrowSource::accept(const Released<ArrowArray>& array) {
  const ArrowArray& a = *array;
  if (a.length < 0 || a.offset < 0 || a.n_buffers < 1 || !a.buffers)
    return refuse_malformed("a negative length or offset, or no buffers");
  if (!table_) return valid_column(a, 0) || refuse_malformed("a column's buffers");
  if (a.n_children != static_cast<int64_t>(columns_.size()) || (a.n_children && !a.children))
    return refuse_malformed("a table whose columns differ from its schema");
  for (int64_t c = 0; c < a.n_children; ++c) {
    const ArrowArray* child = a.children[c];
    if (!child || !valid_column(*child, a.offset + a.length))
      return refuse_malformed("a column's buffers");
  }
  return true;
}

bool ArrowSource::fetch() {
  if (!stream_.live()) {
    end_ = true;
    return true;
  }
  ArrowArrayStream* s = stream_.get();
  Released<ArrowArray> batch;
  if (int rc = s->get_next(s, batch.fill()); rc != 0) return stream_failed(rc);
  if (!batch.live()) {  // the end of the stream
    end_ = true;
    stream_.reset();
    return true;
  }
  if (!accept(batch)) return false;
  if (batch->length > 0) pending_.emplace_back(Batch{std::move(batch)});
  return true;
}

size_t ArrowSource::available() const {
  size_t n = 0;
  for (const Batch& b : pending_) n += b.left();
  return n;
}

bool ArrowSource::pull(size_t most, std::vector<double>& scratch, const double*& data,
                       size_t& count) {
  // Batches used up by the last pull served its rows until now.
  while (!pending_.empty() && pending_.front().left() == 0) pending_.pop_front();
  while (!end_ && available() < most)
    if (!fetch()) return false;
  count = std::min(most, available());
  if (count > 0 && in_place()) {
    if (const double* rows = in_place_rows(pending_.front(), count)) {
      pending_.front().next += count;
      data = rows;
      return true;
    }
  }
  scratch.resize(count * width());
  size_t done = 0;
  for (Batch& b : pending_) {
    size_t part = std::min(count - done, b.left());
    if (part == 0) continue;
    if (!read(b, b.next, part, scratch.data() + done * width())) return false;
    b.next += part;
    done += part;
    if (done == count) break;
  }
  data = scratch.data();
  return true;
}

// The rows in place, when the front batch holds them all, without nulls,
// aligned for binary64; else null.
const double* ArrowSource::in_place_rows(const Batch& b, size_t count) const {
  if (b.left() < count) return nullptr;
  const ArrowArray& a = *b.array;
  int64_t at = a.offset + static_cast<int64_t>(b.next);
  if (has_nulls(a, at, count)) return nullptr;  // read() raises for them
  const auto* values = static_cast<const double*>(a.buffers[1]);
  if (reinterpret_cast<uintptr_t>(values) % alignof(double) != 0) return nullptr;
  return values + at;
}

bool ArrowSource::read(const Batch& b, size_t first, size_t count, double* out) {
  const ArrowArray& a = *b.array;
  int64_t at = a.offset + static_cast<int64_t>(first);
  if (has_nulls(a, at, count)) {
    refuse_missing();
    return false;
  }
  if (!table_) return read_column(a, columns_[0], at, count, out);
  size_t width = columns_.size();
  column_.resize(count);
  for (size_t c = 0; c < width; ++c) {
    const ArrowArray& child = *a.children[c];
    int64_t child_at = child.offset + at;
    if (has_nulls(child, child_at, count)) {
      refuse_missing();
      return false;
    }
    if (!read_column(child, columns_[c], child_at, count, column_.data())) return false;
    for (size_t r = 0; r < count; ++r) out[r * width + c] = column_[r];
  }
  return true;
}

// Reads `count` values of a column from slot `at` on, its nulls checked by
// the caller.
bool ArrowSource::read_column(const ArrowArray& column, const ArrowColumn& kind, int64_t at,
                              size_t count, double* out) {
  const void* values = column.buffers[1];
  if (kind.bits) {
    for (size_t i = 0; i < count; ++i)
      out[i] = bit(values, at + static_cast<int64_t>(i)) ? 1.0 : 0.0;
    return true;
  }
  const char* base = static_cast<const char*>(values) + at * static_cast<int64_t>(kind.format.size);
  auto stride = static_cast<ptrdiff_t>(kind.format.size);
  size_t done = read_elements(kind.format, base, stride, count, out);
  if (done == count) return true;
  refuse_inexact(kind.format, base + static_cast<ptrdiff_t>(done) * stride);
  return false;
}

}  // namespace tallix::py
