#!/usr/bin/env bash
# Reproducibility matrix: builds the core with several compilers and options,
# runs the receipt driver (tools/repro_receipts.cpp, which reads the workloads
# from tests/golden/workloads.txt) in each, and compares every line with the
# pinned receipts in tests/golden/receipts.txt.
#
# x86-64 builds: gcc and clang at -O0 and -O3; both at -O3 with the software fma
# forced (TALLIX_SOFTWARE_FMA); both at -O3 -march=native, where the compiler
# could fuse multiplications and additions if -ffp-contract=off were missing.
# Zig builds: the compiler of the wheels (scripts/build_dist.sh), at -O3 for
# x86-64 and aarch64 with glibc 2.17 as the target, linked against the GMP and
# Nettle the wheels bundle (scripts/build_wheel_deps.sh, built on first use);
# the aarch64 one runs the kernel benchmark's byte check under qemu as well.
# aarch64 builds: gcc cross-compiled at -O0, -O3 and -O3 with the software fma,
# run under qemu-user; GCC contracts by default there, so these show that the
# flag, not the processor, keeps the receipts. The aarch64 builds also cross-build
# the C++ core tests (tests/core) and the kernel benchmark
# (benchmarks/kernels), and run them under qemu, the benchmark for its byte
# check only.
# Each driver runs twice: with the processor's batch kernels and with the
# portable ones (on aarch64 both are the portable kernels).
#
# Fused multiply-adds: the objects of every build are disassembled, and an fma
# instruction may appear only in the routines marked TALLIX_FMA_SITE
# (src/kernels/fma.hpp: the fma routine and the batch product kernels), whose
# names carry the mark as an ABI tag. Negative controls built with
# -ffp-contract=fast show that the disassembly check does catch contraction and
# that the workloads notice it (a receipt changes). The CMake targets are checked to
# compile with -ffp-contract=off, natively and cross, and CMake must refuse a
# configuration that asks for contraction.
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
  git archive HEAD CMakeLists.txt cmake src bindings tests tools benchmarks/kernels | tar -x -C "$out/head"
  cd "$out/head"
fi
golden=tests/golden/receipts.txt

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
  [aarch64-gcc-O0]="aarch64-linux-gnu-g++ -O0 -ffp-contract=off"
  [aarch64-gcc-O3]="aarch64-linux-gnu-g++ -O3 -ffp-contract=off"
  [aarch64-gcc-O3-softfma]="aarch64-linux-gnu-g++ -O3 -ffp-contract=off -DTALLIX_SOFTWARE_FMA"
  [control-aarch64-gcc-contract-fast]="aarch64-linux-gnu-g++ -O3 -ffp-contract=fast"
  [zig-x86_64-O3]="zig-c++ -target x86_64-linux-gnu.2.17 -O3 -ffp-contract=off"
  [zig-aarch64-O3]="zig-c++ -target aarch64-linux-gnu.2.17 -O3 -ffp-contract=off"
)
order="gcc-O0 gcc-O3 clang-O0 clang-O3 gcc-O3-softfma clang-O3-softfma gcc-O3-native
       clang-O3-native control-gcc-contract-fast
       aarch64-gcc-O0 aarch64-gcc-O3 aarch64-gcc-O3-softfma control-aarch64-gcc-contract-fast
       zig-x86_64-O3 zig-aarch64-O3"
selected=${REPRO_BUILDS:-$order}
for name in $selected; do
  [ -n "${builds[$name]:-}" ] || { echo "unknown build: $name (known: $(echo $order))"; exit 2; }
done
wants_aarch64() { [[ " $(echo $selected) " == *aarch64* ]]; }

if ! command -v clang++ >/dev/null 2>&1; then
  echo "installing clang"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang
fi
bash "$repo/scripts/ensure-system-deps.sh"
if wants_aarch64; then bash "$repo/scripts/ensure-cross-deps.sh"; fi
wants_zig() { [[ " $(echo $selected) " == *zig-* ]]; }
if wants_zig; then bash "$repo/scripts/ensure-wheel-deps.sh"; fi

base=(-std=c++20 -Wall -Wextra -Wpedantic -Isrc)
# Cross builds must be clean: a warning there is the sign of a processor path
# that was never meant for aarch64. -Wno-psabi: GCC notes an ABI change of
# GCC 10 for pair arguments, which concerns no code built here.
aarch64_base=(-Werror -Wno-psabi)
qemu=(qemu-aarch64 -L /usr/aarch64-linux-gnu)

# The mark, in a demangled name, of the routines allowed to hold an fma
# instruction: the code marks them (TALLIX_FMA_SITE), so renaming one does not
# break the check. They are the routine that names the fma, the batch kernels
# that compute the exact error of a product with it, and the extraction levels,
# whose fmas multiply by one (additions placed on the multiply-add units,
# rounded as additions are). On aarch64 the C library's fma is the fmadd
# instruction, inlined in fma_exact. A lambda or clone of a marked routine
# carries its name, and so the mark.
fma_mark='[abi:tallix_fma]'
# Fused instructions: x86 FMA3/FMA4 in scalar and vector forms; aarch64 scalar
# (fmadd ...), Advanced SIMD (fmla, fmls) and SVE (fmad, fmsb, fnmla ...) forms.
fma_insn_x86='\tv?f(n)?m(add|sub)[0-9a-z]*(sd|pd|ss|ps)'
fma_insn_aarch64='\t(fn?m(add|sub|ad|sb)|fn?ml[as])[ \t]'

# Lists "object function" for every function holding an fma instruction.
fma_sites() {
  local dir=$1 objdump=$2 insn=$3
  for obj in "$dir"/*.o; do
    "$objdump" -d -C --no-show-raw-insn "$obj" | awk -v obj="$(basename "$obj")" -v insn="$insn" '
      /^[0-9a-f]+ <.*>:$/ { fn = substr($0, index($0, "<") + 1); sub(/>:$/, "", fn) }
      $0 ~ insn { if (!(fn in seen)) { seen[fn] = 1; print obj " " fn } }'
  done
}

cmake_tools() {
  local bin=$repo/.venv/bin
  cmake=cmake ninja=ninja
  [ -x "$bin/cmake" ] && cmake=$bin/cmake
  [ -x "$bin/ninja" ] && ninja=$bin/ninja
  ninja=$(command -v "$ninja")
}

# Configures the CMake project into $1 with the remaining arguments and checks
# that every compile command turns contraction off.
check_cmake_commands() {
  local dir=$1 label=$2
  shift 2
  rm -rf "$dir"
  if ! "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" "$@" >"$dir.log" 2>&1; then
    echo "FAIL: cmake could not configure the flag check ($label), see $dir.log"
    return 1
  fi
  local missing
  missing=$("$ninja" -C "$dir" -t commands | grep -E ' -c ' | grep -v -- '-ffp-contract=off' || true)
  if [ -n "$missing" ]; then
    echo "FAIL: compile commands without -ffp-contract=off ($label):"
    echo "$missing" | head -5
    return 1
  fi
  echo "ok: every CMake compile command has -ffp-contract=off ($label)"
}

# CMake must stop at configure time when the user's flags ask for contraction.
check_cmake_refuses() {
  local dir=$out/cmake-refuse
  rm -rf "$dir"
  if "$cmake" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DTALLIX_CORE_TESTS=OFF \
      -DCMAKE_DISABLE_FIND_PACKAGE_Python=ON -DCMAKE_BUILD_TYPE=Release \
      "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -ffp-contract=fast" >"$dir.log" 2>&1; then
    echo "FAIL: cmake accepted -ffp-contract=fast in CMAKE_CXX_FLAGS_RELEASE"
    return 1
  fi
  if ! grep -q -- '-ffp-contract=off' "$dir.log"; then
    echo "FAIL: cmake refused -ffp-contract=fast without saying why, see $dir.log"
    return 1
  fi
  echo "ok: cmake refuses a configuration that asks for -ffp-contract=fast"
}

check_cmake_flags() {
  cmake_tools
  local status=0
  check_cmake_commands "$out/cmake-flags" "x86-64" -DPython_EXECUTABLE="$repo/.venv/bin/python" ||
    status=1
  if wants_aarch64; then
    check_cmake_commands "$out/cmake-flags-aarch64" "aarch64" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" ||
      status=1
  fi
  check_cmake_refuses || status=1
  return $status
}

# Compiles the NUL-separated source and object pairs listed in file $1 with
# the command that follows, two at a time.
compile_pairs() {
  local list=$1
  shift
  # xargs appends a source and its object to the compile command.
  xargs -0 -P2 -n2 "$BASH" -c \
    'n=$#; exec "${@:1:n-2}" -c "${@:n-1:1}" -o "${@:n:1}"' _ "$@" <"$list"
}

# Compiles every core source into $dir with the build's command.
compile_core() {
  local dir=$1
  shift
  while read -r src; do
    printf '%s\0%s\0' "$src" "$dir/$(echo "${src#src/}" | tr / _).o"
  done < <(find src -name '*.cpp' | sort) >"$dir/sources"
  compile_pairs "$dir/sources" "$@"
}

# Cross-builds the C++ core tests against the build's objects and runs them.
run_core_tests() {
  local dir=$1
  shift
  mkdir -p "$dir/core_tests.d"
  local objs=() src
  for src in tests/core/*.cpp; do
    objs+=("$dir/core_tests.d/$(basename "$src" .cpp).o")
    printf '%s\0%s\0' "$src" "${objs[-1]}"
  done >"$dir/core_tests.d/sources"
  compile_pairs "$dir/core_tests.d/sources" "$@" -Itests/core || return 1
  "$@" "${objs[@]}" "$dir"/*.o "${libs[@]}" -o "$dir/core_tests" || return 1
  "${run[@]}" "$dir/core_tests" | tail -1
  return "${PIPESTATUS[0]}"
}

# Cross-builds the kernel benchmark against the build's objects and runs its
# byte check at small sizes (emulated time means nothing, and stays short).
run_kernel_bench() {
  local dir=$1
  shift
  "$@" benchmarks/kernels/kernel_bench.cpp "$dir"/*.o "${libs[@]}" \
    -o "$dir/kernel_bench" || return 1
  "${run[@]}" "$dir/kernel_bench" --bytes-only --sizes 1000,100000 | tail -1
  return "${PIPESTATUS[0]}"
}

# A Zig build compiles with `python -m ziglang c++` and links the wheels' own
# GMP and Nettle, found at run time through LD_LIBRARY_PATH. Zig's runtime has
# no __cpu_model, which processor-feature checks read on x86: as in the wheel,
# libgcc's detection object comes in from the host's GCC.
zig_setup() {
  local name=$1 arch deps
  arch=${name#zig-}
  arch=${arch%-*}
  deps=$(bash "$repo/scripts/wheel_cache.sh")/wheel-deps/$arch
  PYTHON="$repo/.venv/bin/python" bash "$repo/scripts/build_wheel_deps.sh" "$arch" "$deps" >/dev/null || {
    echo "  FAIL: GMP and Nettle for $arch (scripts/build_wheel_deps.sh)"
    return 1
  }
  # The libraries' headers as system headers: gmpxx.h warns under a newer Clang.
  cmd=("$repo/.venv/bin/python" -m ziglang c++ "${cmd[@]:1}" -isystem "$deps/include")
  # gmpxx is used through its header only; its library expects a shared C++
  # runtime, and Zig links its own statically.
  libs=(-L"$deps/lib" -lgmp -lnettle)
  if [ "$arch" = x86_64 ]; then
    (cd "$dir" && ar x "$(gcc -print-libgcc-file-name)" cpuinfo.o && mv cpuinfo.o libgcc-cpuinfo.obj)
    libs+=("$dir/libgcc-cpuinfo.obj")
  fi
  run=(env LD_LIBRARY_PATH="$deps/lib" "${run[@]}")
}

status=0
check_cmake_flags || status=1
for name in $selected; do
  echo "== $name: ${builds[$name]}"
  dir="$out/$name"
  rm -rf "$dir"
  mkdir -p "$dir"
  read -r -a cmd <<<"${builds[$name]}"
  cmd+=("${base[@]}")
  run=() objdump=objdump insn=$fma_insn_x86 libs=(-lgmpxx -lgmp -lnettle)
  if [[ $name == *aarch64* ]]; then
    cmd+=("${aarch64_base[@]}")
    run=("${qemu[@]}") objdump=aarch64-linux-gnu-objdump
    insn=$fma_insn_aarch64
  fi
  if [[ $name == zig-* ]]; then
    zig_setup "$name" || { status=1; continue; }
  fi
  if ! compile_core "$dir" "${cmd[@]}"; then
    echo "  FAIL: the core does not compile"
    status=1
    continue
  fi
  "${cmd[@]}" tools/repro_receipts.cpp "$dir"/*.o "${libs[@]}" -o "$dir/repro_receipts"

  all_sites=$(fma_sites "$dir" "$objdump" "$insn")
  sites=$(echo "$all_sites" | grep -vF -- "$fma_mark" || true)
  differs=0
  for mode in "" --portable; do
    if "${run[@]}" "$dir/repro_receipts" $mode | diff -q - "$golden" >/dev/null; then
      result="golden"
    else
      result="DIFFERS"
      differs=1
    fi
    echo "  receipts ${mode:-(processor kernels)}: $result"
    if [ "$result" != golden ] && [[ $name != control-* ]]; then
      status=1
      "${run[@]}" "$dir/repro_receipts" $mode | diff - "$golden" | head -6 || true
    elif [ "$result" != golden ]; then
      changed=$("${run[@]}" "$dir/repro_receipts" $mode | diff - "$golden" | grep '^>' | cut -d' ' -f2 || true)
      echo "    changed: $(echo $changed)"
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
    # Contraction must show in the receipts too, or the workloads would miss it.
    if [ $differs -eq 0 ]; then
      echo "  FAIL: contraction changed no receipt; the workloads would not notice it"
      status=1
    fi
  elif [ -n "$sites" ]; then
    echo "  FAIL: fma instructions outside the fma routines:"
    echo "$sites" | head -10 | sed 's/^/    /'
    status=1
  else
    # The routines that do hold one, by name: e.g. none with the software fma.
    named=$(echo "$all_sites" | sed 's/(anonymous namespace):://g; s/\[abi:[^]]*\]//g' | sed -n 's/^[^ ]* \([^(]*\)(.*/\1/p' | sed 's/.*:://' | sort -u)
    echo "  ok: no fma outside the fma routines (fma in: $(echo ${named:-none} | tr ' ' ,))"
  fi
  # The core tests print GMP's numbers through gmpxx's streams, which a Zig
  # build cannot link (above): the gcc builds run them.
  if [[ $name == aarch64-* ]]; then
    if result=$(run_core_tests "$dir" "${cmd[@]}"); then
      echo "  core tests under qemu: $result"
    else
      echo "  FAIL: core tests under qemu: $result"
      status=1
    fi
  fi
  if [[ $name == aarch64-* || $name == zig-aarch64-* ]]; then
    if result=$(run_kernel_bench "$dir" "${cmd[@]}"); then
      echo "  kernel bench under qemu: $result"
    else
      echo "  FAIL: kernel bench under qemu: $result"
      status=1
    fi
  fi
done
[ $status -eq 0 ] && echo "all builds reproduce the pinned receipts" || echo "repro matrix FAILED"
exit $status
