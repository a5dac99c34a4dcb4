// Runs every registered core test case and names the ones that fail.
#include <cstdio>

#include "check.hpp"

int main() {
  int passed = 0, failed = 0;
  for (const auto& c : check::registry()) {
    int before = check::failures();
    c.body();
    if (check::failures() == before) {
      ++passed;
    } else {
      ++failed;
      std::fprintf(stderr, "FAILED: %s\n", c.name);
    }
  }
  std::printf("core: %d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
