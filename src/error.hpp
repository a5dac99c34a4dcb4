// Failures the core returns instead of throwing. The Python frame maps each
// alternative of `Failure` to one exception; nothing else crosses the layer.
#pragma once

#include <cstdint>
#include <utility>
#include <variant>

namespace tallix {

// Why a statistics query has no answer; the order is the discriminant.
enum class StatsError : uint8_t { Empty, NonFinite, ExactnessLost, Degenerate };

// The single failure of a dot-product value.
enum class DotError : uint8_t { ExactnessLost };

// Rejected input: a byte form of the wrong length, or content (or a query)
// with no defined answer.
enum class InputError : uint8_t { WrongLength, Undefined };

// A broken caller contract (an equality check on lengths); reported with
// both sides of the check.
struct UsageFailure {
  const char* message;
  uint64_t left;
  uint64_t right;
};

// Input refused with a message of its own (ValueError with that text).
struct Rejection {
  const char* message;
};

// The memory a query needs could not be reserved (MemoryError); nothing was
// computed and nothing changed.
struct OutOfMemory {};

using Failure =
    std::variant<StatsError, DotError, InputError, UsageFailure, Rejection, OutOfMemory>;

inline const char* name_of(StatsError e) {
  switch (e) {
    case StatsError::Empty:
      return "Empty";
    case StatsError::NonFinite:
      return "NonFinite";
    case StatsError::ExactnessLost:
      return "ExactnessLost";
    case StatsError::Degenerate:
      return "Degenerate";
  }
  return "Degenerate";
}

// A value or the failure that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(StatsError e) : v_(std::in_place_index<1>, e) {}
  Result(DotError e) : v_(std::in_place_index<1>, e) {}
  Result(InputError e) : v_(std::in_place_index<1>, e) {}
  Result(UsageFailure e) : v_(std::in_place_index<1>, e) {}
  Result(Rejection e) : v_(std::in_place_index<1>, e) {}
  Result(OutOfMemory e) : v_(std::in_place_index<1>, e) {}
  Result(Failure e) : v_(std::in_place_index<1>, e) {}

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const Failure& failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

// Success without a value, or a failure.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(StatsError e) : f_(e), failed_(true) {}
  Result(DotError e) : f_(e), failed_(true) {}
  Result(InputError e) : f_(e), failed_(true) {}
  Result(UsageFailure e) : f_(e), failed_(true) {}
  Result(Rejection e) : f_(e), failed_(true) {}
  Result(OutOfMemory e) : f_(e), failed_(true) {}
  Result(Failure e) : f_(e), failed_(true) {}

  bool ok() const { return !failed_; }
  const Failure& failure() const { return f_; }

 private:
  Failure f_{};
  bool failed_ = false;
};

using Status = Result<void>;

}  // namespace tallix
