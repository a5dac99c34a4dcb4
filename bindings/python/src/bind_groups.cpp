// `_Groups`, the companion's grouped feed: exact states of many groups held
// in the core (stats/grouped.hpp), fed from integer codes with the
// interpreter lock released, answered into arrays the caller gives.
//
//   _Groups(count, kind="float", squares=True)
//   feed(codes, values, skip, skip_nans)  row i into group codes[i]
//   counts(n_out, missing_out)            int64 arrays, one entry per group
//   answer(what, ddof, out)               float64 array: sum, mean, var, std
//                                         (+"32": rounded to binary32)
//   int_sums()                            exact Σx and Σx² of integer groups
//   records() / merge_records(codes, records) / merge(other, positions)
//
// Every call checks all its arguments before any group changes.
#include <array>
#include <cstring>
#include <string_view>
#include <variant>
#include <vector>

#include "answer_args.hpp"
#include "convert.hpp"
#include "elements.hpp"
#include "errors.hpp"
#include "frame.hpp"
#include "instance.hpp"
#include "numbers.hpp"
#include "registry.hpp"
#include "scoped.hpp"
#include "stats/grouped.hpp"

namespace tallix::py {

namespace {

using Grouped = std::variant<GroupedMoments, GroupedIntegers>;
using GroupsObject = Instance<Grouped>;

PyTypeObject* groups_type = nullptr;

Grouped& groups_of(PyObject* self) { return instance_of<Grouped>(self)->state; }

size_t group_count(const Grouped& g) {
  return std::visit([](const auto& v) { return v.count(); }, g);
}

// ---- arrays -------------------------------------------------------------------

// A 1-D buffer held for the call, read into a contiguous vector of T unless
// it already is one.
template <class T>
class Column {
 public:
  // False with an error naming `what` when `o` is not a 1-D buffer of a
  // format `read` takes.
  template <class Read>
  bool open(PyObject* o, const char* what, Read read) {
    if (!buffer_.open(o, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& v = buffer_.view();
    format_ = parse_element(buffer_.format(), static_cast<size_t>(v.itemsize));
    if (v.ndim != 1 || !format_) {
      PyErr_Format(PyExc_TypeError, "%s must be a 1-D numeric array", what);
      return false;
    }
    size_ = static_cast<size_t>(v.shape[0]);
    const char* base = static_cast<const char*>(v.buf);
    // In place only when aligned for T: an array may view memory at any byte
    // offset (a slice of bytes, some Arrow buffers).
    if (!format_->swapped && format_->size == sizeof(T) && v.strides[0] == sizeof(T) &&
        reinterpret_cast<uintptr_t>(base) % alignof(T) == 0 && read.in_place(*format_)) {
      data_ = reinterpret_cast<const T*>(base);
      return true;
    }
    copy_.resize(size_);
    if (!read(*format_, base, v.strides[0], size_, copy_.data(), what)) return false;
    data_ = copy_.data();
    return true;
  }
  std::span<const T> span() const { return {data_, size_}; }
  size_t size() const { return size_; }
  const std::optional<ElementFormat>& format() const { return format_; }

 private:
  HeldBuffer buffer_;
  std::optional<ElementFormat> format_;
  std::vector<T> copy_;
  const T* data_ = nullptr;
  size_t size_ = 0;
};

// Integers of any width and booleans, as V (codes, integer values, masks);
// false with an error when a value does not fit V.
template <class V>
struct IntegersAs {
  bool in_place(const ElementFormat& f) const {
    if constexpr (std::is_same_v<V, uint8_t>)
      return f.kind == Element::Bool || f.kind == Element::U8;
    else if constexpr (std::is_signed_v<V>)
      return f.kind == Element::I64;
    else
      return f.kind == Element::U64;
  }
  bool operator()(const ElementFormat& f, const char* base, ptrdiff_t stride, size_t n, V* out,
                  const char* what) const {
    if (f.swapped || !(f.is_integer() || f.kind == Element::Bool)) {
      PyErr_Format(PyExc_TypeError, "%s must be an array of integers", what);
      return false;
    }
    const Element kind = f.kind == Element::Bool ? Element::U8 : f.kind;
    auto copy = [&](auto type) {
      using S = typename decltype(type)::type;
      for (size_t i = 0; i < n; ++i) {
        S s;
        std::memcpy(&s, base + static_cast<ptrdiff_t>(i) * stride, sizeof s);
        if (!std::in_range<V>(s)) return false;
        out[i] = static_cast<V>(s);
      }
      return true;
    };
    if (!with_integer_type(kind, copy).value_or(false)) {
      PyErr_Format(PyExc_OverflowError, "%s holds a value out of range", what);
      return false;
    }
    return true;
  }
};

// Real values as binary64, refused where binary64 does not hold one exactly.
struct RealsAsDouble {
  bool in_place(const ElementFormat& f) const { return f.kind == Element::F64; }
  bool operator()(const ElementFormat& f, const char* base, ptrdiff_t stride, size_t n, double* out,
                  const char*) const {
    const size_t read = read_elements(f, base, stride, n, out);
    if (read == n) return true;
    refuse_inexact(f, base + static_cast<ptrdiff_t>(read) * stride);
    return false;
  }
};

bool same_length(size_t a, size_t b, const char* what) {
  if (a == b) return true;
  PyErr_Format(PyExc_ValueError, "%s has %zu entries, codes %zu", what, b, a);
  return false;
}

bool codes_in_range(const GroupCounts& g, std::span<const int64_t> codes) {
  const size_t bad = g.first_bad_code(codes);
  if (bad == codes.size()) return true;
  PyErr_Format(PyExc_ValueError, "code %lld at row %zu names no group (there are %zu)",
               static_cast<long long>(codes[bad]), bad, g.count());
  return false;
}

// ---- the methods --------------------------------------------------------------------

constexpr Signature kFeedSig = parse_signature("feed($self, codes, values, skip, skip_nans)");

PyObject* feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{"_Groups", "feed"};
  return bound_call(kFeedSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    Borrow borrow;
    if (!borrow.exclusive(self)) return nullptr;
    Grouped& groups = groups_of(self);
    Column<int64_t> codes;
    Column<uint8_t> skip;
    const int skip_nans = PyObject_IsTrue(b[3]);
    if (skip_nans < 0 || !codes.open(b[0], "codes", IntegersAs<int64_t>{})) return nullptr;
    if (b[2] != Py_None && (!skip.open(b[2], "skip", IntegersAs<uint8_t>{}) ||
                            !same_length(codes.size(), skip.size(), "skip")))
      return nullptr;
    const uint8_t* mask = b[2] == Py_None ? nullptr : skip.span().data();
    const bool unlocked = codes.size() >= kMinUnlockedValues;
    if (auto* m = std::get_if<GroupedMoments>(&groups)) {
      Column<double> values;
      if (!values.open(b[1], "values", RealsAsDouble{}) ||
          !same_length(codes.size(), values.size(), "values") || !codes_in_range(*m, codes.span()))
        return nullptr;
      Unlocked scope(unlocked);
      m->feed(codes.span(), values.span(), Absent{mask, skip_nans != 0});
      Py_RETURN_NONE;
    }
    auto& ints = std::get<GroupedIntegers>(groups);
    HeldBuffer probe;
    if (!probe.open(b[1], PyBUF_RECORDS_RO)) return nullptr;
    const auto f = parse_element(probe.format(), static_cast<size_t>(probe.view().itemsize));
    probe.release();
    if (f && f->kind == Element::U64) {
      Column<uint64_t> values;
      if (!values.open(b[1], "values", IntegersAs<uint64_t>{}) ||
          !same_length(codes.size(), values.size(), "values") ||
          !codes_in_range(ints, codes.span()))
        return nullptr;
      Unlocked scope(unlocked);
      ints.feed(codes.span(), values.span(), mask);
      Py_RETURN_NONE;
    }
    Column<int64_t> values;
    if (!values.open(b[1], "values", IntegersAs<int64_t>{}) ||
        !same_length(codes.size(), values.size(), "values") || !codes_in_range(ints, codes.span()))
      return nullptr;
    Unlocked scope(unlocked);
    ints.feed(codes.span(), values.span(), mask);
    Py_RETURN_NONE;
  });
}

constexpr Signature kCountsSig = parse_signature("counts($self, n_out, missing_out)");

PyObject* counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{"_Groups", "counts"};
  return bound_call(kCountsSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    Borrow borrow;
    if (!borrow.shared(self)) return nullptr;
    const Grouped& groups = groups_of(self);
    const size_t count = group_count(groups);
    HeldBuffer n, missing;
    if (!open_answer_out(b[0], n, count, Element::I64, "n_out", "group") ||
        !open_answer_out(b[1], missing, count, Element::I64, "missing_out", "group"))
      return nullptr;
    auto* n_out = static_cast<int64_t*>(n.view().buf);
    auto* missing_out = static_cast<int64_t*>(missing.view().buf);
    std::visit(
        [&](const auto& g) {
          for (size_t i = 0; i < count; ++i) {
            n_out[i] = static_cast<int64_t>(g.n(i));
            missing_out[i] = static_cast<int64_t>(g.missing(i));
          }
        },
        groups);
    Py_RETURN_NONE;
  });
}

constexpr Signature kAnswerSig = parse_signature("answer($self, what, ddof, out)");

PyObject* answer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{"_Groups", "answer"};
  return bound_call(kAnswerSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    Borrow borrow;
    if (!borrow.shared(self)) return nullptr;
    const Grouped& groups = groups_of(self);
    AnswerName name;
    double ddof = 0;
    if (!read_answer_name(b[0], false, name) || !to_ddof(b[1], ddof)) return nullptr;
    const MomentAnswer what = name.what;
    const Precision precision = name.precision;
    const auto* m = std::get_if<GroupedMoments>(&groups);
    const bool spread = what == MomentAnswer::Var || what == MomentAnswer::Std;
    if ((m && spread && !m->squares()) ||
        (!m && (what == MomentAnswer::Sum || precision == Precision::Binary32))) {
      PyErr_Format(PyExc_ValueError, "these groups do not answer %R", b[0]);
      return nullptr;
    }
    const size_t count = group_count(groups);
    HeldBuffer out;
    if (!open_answer_out(b[2], out, count, Element::F64, "out", "group")) return nullptr;
    auto* values = static_cast<double*>(out.view().buf);
    Status failed;
    {
      Unlocked scope(count >= kMinUnlockedValues / 8);
      for (size_t g = 0; g < count && failed.ok(); ++g) {
        Result<double> r = m ? m->answer(g, what, ddof, precision)
                             : std::get<GroupedIntegers>(groups).answer(g, what, ddof);
        if (r.ok())
          values[g] = r.value();
        else
          failed = r.failure();
      }
    }
    if (!failed.ok()) return raise_failure(failed.failure(), who);
    Py_RETURN_NONE;
  });
}

PyObject* int_sums(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    Borrow borrow;
    if (!borrow.shared(self)) return nullptr;
    const auto* ints = std::get_if<GroupedIntegers>(&groups_of(self));
    if (!ints) {
      PyErr_SetString(PyExc_ValueError, "only integer groups have integer sums");
      return nullptr;
    }
    Owned s1(PyList_New(static_cast<Py_ssize_t>(ints->count())));
    Owned s2(PyList_New(static_cast<Py_ssize_t>(ints->count())));
    if (!s1 || !s2) return nullptr;
    for (size_t g = 0; g < ints->count(); ++g) {
      PyObject* a = int_from_wide(ints->sums(g).sum());
      if (!a) return nullptr;
      PyList_SetItem(s1.get(), static_cast<Py_ssize_t>(g), a);
      PyObject* q = int_from_wide(ints->sums(g).squares());
      if (!q) return nullptr;
      PyList_SetItem(s2.get(), static_cast<Py_ssize_t>(g), q);
    }
    return PyTuple_Pack(2, s1.get(), s2.get());
  });
}

PyObject* records(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    Borrow borrow;
    if (!borrow.shared(self)) return nullptr;
    const Grouped& groups = groups_of(self);
    const size_t count = group_count(groups);
    Owned list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t g = 0; g < count; ++g) {
      const Bytes bytes = std::visit([&](const auto& v) { return v.record(g); }, groups);
      PyObject* item = to_python(bytes);
      if (!item) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(g), item);
    }
    return Py_NewRef(list.get());
  });
}

// Every record read and checked first, then merged: all or nothing.
template <class G>
PyObject* merge_read(G& groups, std::span<const int64_t> codes, PyObject* seq,
                     const CallName& who) {
  std::vector<typename G::Record> read;
  read.reserve(codes.size());
  for (size_t i = 0; i < codes.size(); ++i) {
    Owned item(PySequence_GetItem(seq, static_cast<Py_ssize_t>(i)));
    HeldBuffer bytes;
    if (!item || !bytes.open(item.get(), PyBUF_SIMPLE)) return nullptr;
    const auto* data = static_cast<const uint8_t*>(bytes.view().buf);
    auto r = groups.read_record(ByteView(data, static_cast<size_t>(bytes.view().len)));
    if (!r.ok()) return raise_failure(r.failure(), who);
    read.push_back(std::move(r).value());
  }
  for (size_t i = 0; i < codes.size(); ++i)
    if (codes[i] >= 0) groups.merge_record(static_cast<size_t>(codes[i]), read[i]);
  Py_RETURN_NONE;
}

constexpr Signature kMergeRecordsSig = parse_signature("merge_records($self, codes, records)");

PyObject* merge_records(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kw) noexcept {
  const CallName who{"_Groups", "merge_records"};
  return bound_call(
      kMergeRecordsSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
        Borrow borrow;
        if (!borrow.exclusive(self)) return nullptr;
        Grouped& groups = groups_of(self);
        Column<int64_t> codes;
        if (!codes.open(b[0], "codes", IntegersAs<int64_t>{})) return nullptr;
        Owned seq(PySequence_Fast(b[1], "records must be a sequence of bytes"));
        if (!seq ||
            !same_length(codes.size(), static_cast<size_t>(PySequence_Size(seq.get())), "records"))
          return nullptr;
        return std::visit(
            [&](auto& g) -> PyObject* {
              if (!codes_in_range(g, codes.span())) return nullptr;
              return merge_read(g, codes.span(), seq.get(), who);
            },
            groups);
      });
}

constexpr Signature kMergeSig = parse_signature("merge($self, other, positions)");

PyObject* merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  const CallName who{"_Groups", "merge"};
  return bound_call(kMergeSig, who, args, nargs, kw, [&](const BoundArguments& b) -> PyObject* {
    if (Py_TYPE(b[0]) != groups_type) {
      PyErr_Format(PyExc_TypeError, "other must be _Groups, not '%s'", type_name(b[0]).c_str());
      return nullptr;
    }
    Borrow borrow;
    if (!borrow.exclusive(self) || !borrow.shared(b[0])) return nullptr;
    Grouped& groups = groups_of(self);
    const Grouped& other = groups_of(b[0]);
    Column<int64_t> positions;
    if (!positions.open(b[1], "positions", IntegersAs<int64_t>{}) ||
        !same_length(group_count(other), positions.size(), "positions"))
      return nullptr;
    auto* m = std::get_if<GroupedMoments>(&groups);
    const auto* om = std::get_if<GroupedMoments>(&other);
    if ((m == nullptr) != (om == nullptr) || (m && m->squares() != om->squares())) {
      PyErr_SetString(PyExc_ValueError, "groups of another kind do not merge");
      return nullptr;
    }
    if (m) {
      if (!codes_in_range(*m, positions.span())) return nullptr;
      m->merge(*om, positions.span());
    } else {
      auto& ints = std::get<GroupedIntegers>(groups);
      if (!codes_in_range(ints, positions.span())) return nullptr;
      ints.merge(std::get<GroupedIntegers>(other), positions.span());
    }
    Py_RETURN_NONE;
  });
}

PyObject* count_of(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(group_count(groups_of(self)));
}

PyObject* make(PyTypeObject* type, PyObject* args, PyObject* kw) noexcept {
  return guarded([&]() -> PyObject* {
    static const char* names[] = {"count", "kind", "squares", nullptr};
    Py_ssize_t count = 0;
    const char* kind = "float";
    int squares = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "n|sp", const_cast<char**>(names), &count, &kind,
                                     &squares))
      return nullptr;
    const std::string_view k(kind);
    if (count < 0 || count > std::numeric_limits<uint32_t>::max() || (k != "float" && k != "int")) {
      PyErr_SetString(PyExc_ValueError,
                      "count must lie in [0, 2**32) and kind be 'float' or 'int'");
      return nullptr;
    }
    const auto n = static_cast<size_t>(count);
    if (k == "float")
      return wrap_in(type, Grouped(std::in_place_type<GroupedMoments>, n, squares != 0));
    return wrap_in(type, Grouped(std::in_place_type<GroupedIntegers>, n));
  });
}

PyMethodDef kMethods[] = {
    fastcall_def<&feed>("feed",
                        "feed($self, codes, values, skip, skip_nans)\n--\n\n"
                        "Row i into group codes[i]; a negative code drops the row."),
    fastcall_def<&counts>("counts",
                          "counts($self, n_out, missing_out)\n--\n\n"
                          "Each group's values and missing rows, into int64 arrays."),
    fastcall_def<&answer>("answer",
                          "answer($self, what, ddof, out)\n--\n\n"
                          "Each group's sum, mean, var or std, rounded once, into out."),
    {"int_sums", reinterpret_cast<PyCFunction>(&int_sums), METH_NOARGS,
     "int_sums($self)\n--\n\nExact Σx and Σx² of each integer group."},
    {"records", reinterpret_cast<PyCFunction>(&records), METH_NOARGS,
     "records($self)\n--\n\nEach group as bytes, for merge_records."},
    fastcall_def<&merge_records>("merge_records",
                                 "merge_records($self, codes, records)\n--\n\n"
                                 "Record i merges into group codes[i]."),
    fastcall_def<&merge>("merge",
                         "merge($self, other, positions)\n--\n\n"
                         "Group k of other merges into group positions[k]."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    {"count", &count_of, nullptr, "The number of groups.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int add_groups_class(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&make)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Grouped>)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kGetters},
      {Py_tp_doc, const_cast<char*>("Exact states of many groups, fed from integer codes.")},
      {0, nullptr},
  };
  PyType_Spec spec{"tallix._Groups", static_cast<int>(sizeof(GroupsObject)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) return -1;
  groups_type = reinterpret_cast<PyTypeObject*>(type);
  const int rc = add_to_module(module, "_Groups", type);
  Py_DECREF(type);
  return rc;
}

}  // namespace tallix::py
