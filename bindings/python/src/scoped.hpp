// What a call holds for a scope and gives back however the scope ends: a
// Python reference, a buffer export, the interpreter lock let go.
#pragma once

#include <cstddef>

#include "python.hpp"

namespace tallix::py {

// A Python reference released on scope exit.
class Owned {
 public:
  Owned() = default;
  explicit Owned(PyObject* o) : o_(o) {}
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(o_); }
  void reset(PyObject* o) {
    Py_XDECREF(o_);
    o_ = o;
  }
  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  PyObject* o_ = nullptr;
};

// A buffer exported by an object, released on scope exit.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // False with the exporter's error set when `o` exports no such buffer.
  bool open(PyObject* o, int flags) {
    release();
    if (PyObject_GetBuffer(o, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  const Py_buffer& view() const { return view_; }
  // The struct-module format of the elements; bytes when the exporter names none.
  const char* format() const { return view_.format ? view_.format : "B"; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Work of at least this many values runs without the interpreter lock;
// below it, giving the lock away costs more than it lets other threads do.
inline constexpr size_t kMinUnlockedValues = size_t{1} << 13;

// Lets the interpreter lock go for its scope when asked to, and takes it
// back however the scope ends.
class Unlocked {
 public:
  explicit Unlocked(bool release) : saved_(release ? PyEval_SaveThread() : nullptr) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() {
    if (saved_) PyEval_RestoreThread(saved_);
  }

 private:
  PyThreadState* saved_;
};

}  // namespace tallix::py
