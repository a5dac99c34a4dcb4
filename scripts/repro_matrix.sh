#!/usr/bin/env bash
# Reproducibility matrix: builds the core with several compilers and options,
# runs the receipt driver (tools/repro_receipts.cpp, which reads the workloads
# from tests/golden/workloads.txt) in each, and compares every line with the
# pinned receipts in tests/golden/receipts.txt.
#
# Builds: gcc and clang at -O0 and -O3; both at -O3 with the software fma
# forced (TALLIX_SOFTWARE_FMA); both at -O3 -march=native, where the compiler
# could fuse multiplications and additions if -ffp-contract=off were missing.
# Each driver runs twice: with the processor's batch kernels and with the
# portable ones.
#
# Fused multiply-adds: the objects of every build are disassembled, and an fma
# instruction may appear only in the routines that name one (the fma routine
# and the batch product kernels). A negative control built with
# -ffp-contract=fast shows that the disassembly check does catch contraction. The
# CMake targets are also checked to compile with -ffp-contract=off.
#
#   REPRO_BUILDS  space-separated subset of the build names below
#   REPRO_TREE    "head" to build the last commit instead of the working tree
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=$repo/build/repro
mkdir -p "$out"
if [ "${REPRO_TREE:-}" = head ]; then
  rm -rf "$out/head"
  mkdir -p "$out/head"
  git archive HEAD CMakeLists.txt src bindings tests tools | tar -x -C "$out/head"
  cd "$out/head"
fi
golden=tests/golden/receipts.txt

if ! command -v clang++ >/dev/null 2>&1; then
  echo "installing clang"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang
fi
bash "$repo/scripts/ensure-system-deps.sh"

base=(-std=c++20 -Wall -Wextra -Wpedantic -Isrc)
declare -A builds=(
  [gcc-O0]="g++ -O0 -ffp-contract=off"
  [gcc-O3]="g++ -O3 -ffp-contract=off"
  [clang-O0]="clang++ -O0 -ffp-contract=off"
  [clang-O3]="clang++ -O3 -ffp-contract=off"
  [gcc-O3-softfma]="g++ -O3 -ffp-contract=off -DTALLIX_SOFTWARE_FMA"
  [clang-O3-softfma]="clang++ -O3 -ffp-contract=off -DTALLIX_SOFTWARE_FMA"
  [gcc-O3-native]="g++ -O3 -march=native -ffp-contract=off"
  [clang-O3-native]="clang++ -O3 -march=native -ffp-contract=off"
  [control-gcc-contract-fast]="g++ -O3 -march=native -ffp-contract=fast"
)
order="gcc-O0 gcc-O3 clang-O0 clang-O3 gcc-O3-softfma clang-O3-softfma gcc-O3-native
       clang-O3-native control-gcc-contract-fast"
selected=${REPRO_BUILDS:-$order}

# Functions allowed to hold an fma instruction: the routine that names the
# fma and the batch kernels that compute the exact error of a product with it.
allowed_fma='(fma_fma3|fma_fma4|products_avx2|products_avx512|place_products_avx2|place_products_avx512|place_other_pairs|products8|square_split_avx2|square_split_avx512)\('

# Lists "object function" for every function holding an fma instruction.
fma_sites() {
  local dir=$1
  for obj in "$dir"/*.o; do
    objdump -d -C --no-show-raw-insn "$obj" | awk -v obj="$(basename "$obj")" '
      /^[0-9a-f]+ <.*>:$/ { fn = substr($0, index($0, "<") + 1); sub(/>:$/, "", fn) }
      /\tv?f(n)?m(add|sub)[0-9a-z]*(sd|pd|ss|ps)/ { if (!(fn in seen)) { seen[fn] = 1; print obj " " fn } }'
  done
}

check_cmake_flags() {
  local dir=$out/cmake-flags bin=$repo/.venv/bin
  local cmake=cmake ninja=ninja
  [ -x "$bin/cmake" ] && cmake=$bin/cmake
  [ -x "$bin/ninja" ] && ninja=$bin/ninja
  rm -rf "$dir"
  if ! "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$(command -v "$ninja")" \
      -DPython_EXECUTABLE="$bin/python" >/dev/null; then
    echo "FAIL: cmake could not configure the flag check"
    return 1
  fi
  local missing
  missing=$("$ninja" -C "$dir" -t commands | grep -E ' -c ' | grep -v -- '-ffp-contract=off' || true)
  if [ -n "$missing" ]; then
    echo "FAIL: compile commands without -ffp-contract=off:"
    echo "$missing" | head -5
    return 1
  fi
  echo "ok: every CMake compile command has -ffp-contract=off"
}

status=0
check_cmake_flags || status=1
for name in $selected; do
  echo "== $name: ${builds[$name]}"
  dir="$out/$name"
  rm -rf "$dir"
  mkdir -p "$dir"
  read -r -a cmd <<<"${builds[$name]}"
  objs=()
  while read -r src; do
    obj="$dir/$(echo "${src#src/}" | tr / _).o"
    objs+=("$obj")
    printf '%s\0%s\0' "$src" "$obj"
  done < <(find src -name '*.cpp' | sort) >"$dir/sources"
  # xargs appends a source and its object to the compile command.
  if ! xargs -0 -P2 -n2 "$BASH" -c \
      'n=$#; exec "${@:1:n-2}" -c "${@:n-1:1}" -o "${@:n:1}"' _ "${cmd[@]}" "${base[@]}" \
      <"$dir/sources"; then
    echo "  FAIL: the core does not compile"
    status=1
    continue
  fi
  "${cmd[@]}" "${base[@]}" tools/repro_receipts.cpp "${objs[@]}" -lgmpxx -lgmp -lnettle \
    -o "$dir/repro_receipts"

  sites=$(fma_sites "$dir" | grep -Ev "::$allowed_fma" || true)
  for mode in "" --portable; do
    if "$dir/repro_receipts" $mode | diff -q - "$golden" >/dev/null; then
      result="golden"
    else
      result="DIFFERS"
    fi
    echo "  receipts ${mode:-(processor kernels)}: $result"
    if [ "$result" != golden ] && [[ $name != control-* ]]; then
      status=1
      "$dir/repro_receipts" $mode | diff - "$golden" | head -6 || true
    fi
  done
  if [[ $name == control-* ]]; then
    if [ -n "$sites" ]; then
      echo "  control: contraction detected as expected in $(echo "$sites" | wc -l) functions, e.g."
      echo "$sites" | head -3 | sed 's/^/    /'
    else
      echo "  FAIL: the control build shows no contracted fma; the disassembly check would miss one"
      status=1
    fi
  elif [ -n "$sites" ]; then
    echo "  FAIL: fma instructions outside the fma routines:"
    echo "$sites" | head -10 | sed 's/^/    /'
    status=1
  else
    echo "  ok: no fma outside the fma routines"
  fi
done
[ $status -eq 0 ] && echo "all builds reproduce the pinned receipts" || echo "repro matrix FAILED"
exit $status
