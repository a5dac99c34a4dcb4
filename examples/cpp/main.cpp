// A C++ program on the installed core: two parts of the data summed apart,
// one sent to the other as bytes and merged, the exact sum rounded once.
// Exits 1 when the answer is not the exact one.
#include <cstdio>
#include <initializer_list>
#include <tallix/acc.hpp>
#include <tallix/receipt.hpp>

int main() {
  tallix::SumF64 left, right;
  for (double x : {1e16, 1.0, 0.5}) left.add(x);
  for (double x : {-1e16, 0.25}) right.add(x);

  // Another process would receive these 281 bytes.
  tallix::Result<tallix::SumF64> received = tallix::SumF64::from_bytes(left.to_bytes());
  if (!received.ok()) {
    std::puts("the byte form did not decode");
    return 1;
  }
  right.merge(received.value());

  // Added as doubles in this order, the five values give 0.25.
  const double exact = 1.75;
  std::printf("sum = %.17g of %llu values\nreceipt = ", right.value(),
              static_cast<unsigned long long>(right.counted()));
  for (uint8_t byte : tallix::state_hash(right)) std::printf("%02x", byte);
  std::puts("");
  if (right.value() != exact || right.counted() != 5) {
    std::printf("wrong: the exact sum is %.17g\n", exact);
    return 1;
  }
  return 0;
}
