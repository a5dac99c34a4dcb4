// The arena behind BigMemoryScope: one mapping per thread, carved into
// allocations of power-of-two sizes. An allocation freed on top of the
// carved region is given back at once (GMP releases its scratch in reverse
// order); any other freed one waits on the free list of its class for the
// next request of that class. Hence a class is only carved further while
// every allocation of it is live, which is what the bounds of the queries
// count on.
#include "big_memory.hpp"

#include <gmp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tallix {

namespace {

using AllocateFn = void* (*)(size_t);
using ReallocateFn = void* (*)(void*, size_t, size_t);
using FreeFn = void (*)(void*, size_t);

// GMP's functions as they were before ours: everything outside a reservation
// goes there, so allocations of other GMP users in the process stay theirs.
AllocateFn previous_allocate;
ReallocateFn previous_reallocate;
FreeFn previous_free;

constexpr unsigned kSmallestClass = 4;  // 16 bytes keep limbs aligned
constexpr unsigned kClasses = 64;
// Reservations up to this size stay with their thread between queries, so a
// fixed-size query pays for its mapping once per thread, not once per call.
constexpr size_t kRetainedBytes = size_t{4} << 20;

unsigned class_of(size_t bytes) {
  return std::max(kSmallestClass, static_cast<unsigned>(std::bit_width(bytes - 1)));
}

size_t class_bytes(unsigned c) { return size_t{1} << c; }

class Arena {
 public:
  unsigned depth = 0;
  BigMemoryUse use;

  bool owns(const void* p) const {
    const char* c = static_cast<const char*>(p);
    return base_ != nullptr && c >= base_ && c < base_ + capacity_;
  }

  bool reserve(size_t bytes) {
    if (capacity_ >= bytes) return true;
    release();
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (bytes > SIZE_MAX - page) return false;
    const size_t size = (bytes + page - 1) / page * page;
    // Without MAP_NORESERVE the operating system commits the whole mapping now, so
    // touching it later cannot fail where allocating would have.
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = static_cast<char*>(p);
    capacity_ = size;
    return true;
  }

  // Called when the outermost scope ends: every allocation is dead by then.
  void clear() {
    top_ = 0;
    for (; listed_ != 0; listed_ &= listed_ - 1) free_[std::countr_zero(listed_)] = nullptr;
    if (capacity_ > kRetainedBytes) release();
  }

  void release() {
    if (base_ != nullptr) munmap(base_, capacity_);
    base_ = nullptr;
    capacity_ = top_ = 0;
  }

  void* take(size_t bytes) {
    const unsigned c = class_of(bytes);
    if (void* p = free_[c]) {
      free_[c] = *static_cast<void**>(p);
      return p;
    }
    if (capacity_ - top_ < class_bytes(c)) {
      ++use.overflows;
      return nullptr;
    }
    char* p = base_ + top_;
    grow_top(class_bytes(c));
    return p;
  }

  void give(void* p, size_t bytes) {
    const unsigned c = class_of(bytes);
    if (static_cast<char*>(p) + class_bytes(c) == base_ + top_) {
      top_ -= class_bytes(c);
      return;
    }
    *static_cast<void**>(p) = free_[c];
    free_[c] = p;
    listed_ |= uint64_t{1} << c;
  }

  void* resize(void* p, size_t old_bytes, size_t new_bytes) {
    const size_t old_size = class_bytes(class_of(old_bytes));
    const size_t new_size = class_bytes(class_of(new_bytes));
    if (old_size == new_size) return p;
    if (static_cast<char*>(p) + old_size == base_ + top_ &&
        capacity_ - (top_ - old_size) >= new_size) {
      top_ -= old_size;
      grow_top(new_size);
      return p;
    }
    void* q = take(new_bytes);
    if (q == nullptr) q = previous_allocate(new_bytes);
    std::memcpy(q, p, std::min(old_bytes, new_bytes));
    give(p, old_bytes);
    return q;
  }

 private:
  char* base_ = nullptr;
  size_t capacity_ = 0;
  size_t top_ = 0;
  std::array<void*, kClasses> free_{};
  uint64_t listed_ = 0;  // classes whose free list may be non-empty

  void grow_top(size_t bytes) {
    top_ += bytes;
    use.carved = std::max(use.carved, top_);
  }
};

// Trivially destructible, so that GMP's calls reach it without the check on
// every access that a thread_local with a destructor costs; the mapping goes
// back at thread exit through ArenaRelease, touched once per reservation.
thread_local Arena arena;

struct ArenaRelease {
  bool armed = false;
  ~ArenaRelease() {
    if (armed) arena.release();
  }
};
thread_local ArenaRelease arena_release;

void* arena_allocate(size_t bytes) {
  Arena& a = arena;
  if (a.depth > 0)
    if (void* p = a.take(bytes)) return p;
  return previous_allocate(bytes);
}

void* arena_reallocate(void* p, size_t old_bytes, size_t new_bytes) {
  Arena& a = arena;
  if (a.owns(p)) return a.resize(p, old_bytes, new_bytes);
  return previous_reallocate(p, old_bytes, new_bytes);
}

void arena_free(void* p, size_t bytes) {
  Arena& a = arena;
  if (a.owns(p))
    a.give(p, bytes);
  else
    previous_free(p, bytes);
}

// GMP's allocation functions are process-wide; ours are installed once, and
// behave exactly like the previous ones for every thread outside a scope.
void install_arena_functions() {
  static const bool installed = [] {
    mp_get_memory_functions(&previous_allocate, &previous_reallocate, &previous_free);
    mp_set_memory_functions(arena_allocate, arena_reallocate, arena_free);
    return true;
  }();
  (void)installed;
}

}  // namespace

BigMemoryScope::BigMemoryScope(size_t bytes) noexcept {
  install_arena_functions();
  Arena& a = arena;
  outermost_ = a.depth == 0;
  if (!outermost_) {
    // A query called from another query lives in the caller's reservation,
    // whose bound covers it.
    reserved_ = true;
    ++a.depth;
    return;
  }
  reserved_ = a.reserve(bytes);
  if (!reserved_) return;
  arena_release.armed = true;  // the first touch registers the release at thread exit
  a.use = BigMemoryUse{};
  ++a.depth;
}

BigMemoryScope::~BigMemoryScope() {
  if (!reserved_) return;
  Arena& a = arena;
  --a.depth;
  if (outermost_) a.clear();
}

BigMemoryUse last_big_memory_use() noexcept { return arena.use; }

}  // namespace tallix
