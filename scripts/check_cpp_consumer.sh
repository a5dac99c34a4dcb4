#!/usr/bin/env bash
# Checks the core as a C++ user receives it, from an installed prefix:
#   1. every installed header compiles from <tallix/...> with the pkg-config flags;
#   2. examples/cpp configures with find_package(tallix), builds without a
#      warning and prints the exact sum;
#   3. the same main.cpp builds with one c++ command and pkg-config, and runs;
#   4. find_package(tallix) refuses a project whose flags ask for contraction
#      or fast-math, and says why.
# Usage: check_cpp_consumer.sh PREFIX WORK_DIR (WORK_DIR is reused, so that a
# second run rebuilds only what changed).
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath "$1")
work=$(realpath -m "$2")
cmake=${CMAKE:-cmake}
ninja=${NINJA:-ninja}
ninja=$(command -v "$ninja")
cxx=${CXX:-c++}
mkdir -p "$work"

fail() {
  echo "check_cpp_consumer: $*" >&2
  exit 1
}

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
read -r -a pc_flags <<<"$(pkg-config --cflags --libs tallix)"

check_headers_compile() {
  local all=$work/all_headers.cpp
  (cd "$prefix/include" && find tallix -name '*.hpp' | sort | sed 's/.*/#include <&>/') >"$all"
  "$cxx" -fsyntax-only -Wall -Wextra -Wpedantic -Werror "$all" "${pc_flags[@]}" ||
    fail "the installed headers do not compile as <tallix/...>"
  echo "ok: $(wc -l <"$all") installed headers compile as <tallix/...>"
}

check_exact_sum() {
  local program=$1 output
  output=$("$program") || fail "$program gave a wrong answer: $output"
  grep -qx 'sum = 1.75 of 5 values' <<<"$output" || fail "$program printed: $output"
}

check_cmake_consumer() {
  local build=$work/cmake
  "$cmake" -S examples/cpp -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    >"$build.log" 2>&1 || { cat "$build.log" >&2; fail "examples/cpp does not configure"; }
  "$cmake" --build "$build" >>"$build.log" 2>&1 || { cat "$build.log" >&2; fail "examples/cpp does not build"; }
  # The project asks for neither: tallix::core brings both (C++20 in CMake's
  # default GNU dialect, contraction off all the same).
  local flag
  for flag in '-std=(c|gnu)\+\+20' '-ffp-contract=off'; do
    "$ninja" -C "$build" -t commands exact_sum | grep -- ' -c ' | grep -Eq -- "$flag" ||
      fail "tallix::core did not bring $flag"
  done
  check_exact_sum "$build/exact_sum"
  echo "ok: examples/cpp with find_package(tallix)"
}

check_pkg_config_consumer() {
  "$cxx" -O2 -o "$work/exact_sum_pc" examples/cpp/main.cpp "${pc_flags[@]}" ||
    fail "main.cpp does not build with pkg-config's flags"
  check_exact_sum "$work/exact_sum_pc"
  echo "ok: examples/cpp/main.cpp with pkg-config"
}

# Each refusal is a fresh configure; the message must name the offending option.
check_refused() {
  local flags=$1 expected=$2 build=$work/refused
  rm -rf "$build"
  if "$cmake" -S examples/cpp -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" "-DCMAKE_CXX_FLAGS=$flags" \
      >"$build.log" 2>&1; then
    fail "find_package(tallix) accepted CMAKE_CXX_FLAGS=$flags"
  fi
  grep -q -- "$expected" "$build.log" || { cat "$build.log" >&2; fail "refused '$flags' without saying why"; }
  echo "ok: find_package(tallix) refuses CMAKE_CXX_FLAGS=$flags"
}

check_headers_compile
check_cmake_consumer
check_pkg_config_consumer
check_refused "-O2 -ffp-contract=fast" "asks for -ffp-contract=fast"
check_refused "-ffast-math" "holds -ffast-math"
echo "check_cpp_consumer: the installed core serves CMake and pkg-config consumers"
