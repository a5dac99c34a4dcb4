// A minimal test registry for the C++ core: TEST(name) { CHECK(...); }.
#pragma once

#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures() {
  static int n = 0;
  return n;
}

struct Registrar {
  Registrar(const char* name, std::function<void()> body) {
    registry().push_back({name, std::move(body)});
  }
};

template <class A, class B>
void expect_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
  if (a == b) return;
  std::ostringstream os;
  os << file << ":" << line << ": CHECK_EQ(" << ea << ", " << eb << ") failed: " << a << " vs "
     << b;
  std::fprintf(stderr, "%s\n", os.str().c_str());
  ++failures();
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                              \
  static void CHECK_CAT(test_, name)();                                         \
  static check::Registrar CHECK_CAT(reg_, name)(#name, CHECK_CAT(test_, name)); \
  static void CHECK_CAT(test_, name)()
#define CHECK(cond)                                                                 \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
      ++check::failures();                                                          \
    }                                                                               \
  } while (0)
#define CHECK_EQ(a, b) check::expect_eq((a), (b), #a, #b, __FILE__, __LINE__)
