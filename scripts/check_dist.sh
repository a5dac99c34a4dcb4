#!/usr/bin/env bash
# Checks the distributions as a user receives them:
#   1. an sdist built from a clone holding an untracked scratch file packs
#      exactly the tracked files (plus the generated PKG-INFO);
#   2. `make wheel` gives a manylinux2014 wheel for x86_64 and for aarch64,
#      each of at most 1.5 MB, placed under that policy by auditwheel, carrying
#      GMP and Nettle and their licences and a licence expression naming them;
#   3. each wheel, installed into a fresh environment of its own architecture,
#      loads GMP and Nettle from the wheel and nothing from the system but
#      glibc and the loader; the whole suite passes against the x86_64 one
#      natively, and a stated part of it against the aarch64 one under qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
base_python=${BASE_PYTHON:-python3}
max_wheel_bytes=1500000
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
  echo "check_dist: $*" >&2
  exit 1
}

# The files an sdist may hold: those git tracks (and the working tree still
# has), plus the metadata the build writes.
expect_tracked_only() {
  local sdist=$1 repo=$2
  git -C "$repo" ls-files | while IFS= read -r file; do
    [ -e "$repo/$file" ] && echo "$file"
  done | sort >"$tmp/tracked"
  tar -tzf "$sdist" | grep -v '/$' | cut -d/ -f2- | grep -vx PKG-INFO | sort >"$tmp/packed"
  if ! diff -u "$tmp/tracked" "$tmp/packed" >"$tmp/sdist.diff"; then
    cat "$tmp/sdist.diff" >&2
    fail "$sdist does not hold exactly the tracked files"
  fi
}

# In a clone (of the last commit), so the scratch files never touch the checkout.
check_sdist_leaves_out_scratch() {
  git clone -q . "$tmp/clone"
  echo scratch >"$tmp/clone/src/scratch-notes.txt"
  head -c 100000 /dev/zero >"$tmp/clone/scratch-data.bin"
  bash scripts/build_dist.sh --sdist-only "$tmp/clone" "$tmp/clone-dist" >/dev/null
  expect_tracked_only "$tmp/clone-dist"/tallix-*.tar.gz "$tmp/clone"
}

# Configured where no GMP or Nettle can be found, the sdist's build says in
# one line which packages to install.
check_sdist_names_missing_libraries() {
  local sdist=$1
  mkdir -p "$tmp/sdist-src"
  tar -xzf "$sdist" -C "$tmp/sdist-src" --strip-components=1
  ! "$py_dir/cmake" -S "$tmp/sdist-src" -B "$tmp/sdist-nodeps" -G Ninja -DCMAKE_MAKE_PROGRAM="$py_dir/ninja" \
    -DTALLIX_PYTHON=OFF -DCMAKE_FIND_ROOT_PATH=/nonexistent -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY >"$tmp/nodeps.log" 2>&1 || fail "configured without GMP and Nettle"
  grep -q '^tallix needs GMP and Nettle to build from source: install libgmp-dev and nettle-dev .*; not found: ' \
    "$tmp/nodeps.log" || { cat "$tmp/nodeps.log"; fail "no one-line message naming the packages to install"; }
}

# The files, tag, size and licence of the wheel for one architecture, and
# auditwheel's own reading of its policy.
check_wheel_contents() {
  local wheel=$1 arch=$2 policy expression
  case $(basename "$wheel") in
    *-cp311-abi3-manylinux_2_17_"$arch".manylinux2014_"$arch".whl) ;;
    *) fail "$wheel is not a manylinux2014 abi3 wheel for $arch" ;;
  esac
  [ "$(stat -c %s "$wheel")" -le $max_wheel_bytes ] || fail "$wheel is over $max_wheel_bytes bytes"
  "$base_python" -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep="\n")' \
    "$wheel" >"$tmp/wheel-files"
  for pattern in 'tallix\.libs/libgmp-.*\.so' 'tallix\.libs/libnettle-.*\.so' \
      'dist-info/licenses/LICENSE$' 'dist-info/licenses/licenses/LGPL-3\.txt$' \
      'dist-info/licenses/licenses/GMP-copyright\.txt$' \
      'dist-info/licenses/licenses/Nettle-copyright\.txt$' \
      'dist-info/licenses/licenses/LLVM-LICENSE\.txt$'; do
    grep -q "$pattern" "$tmp/wheel-files" || fail "$wheel holds nothing matching $pattern"
  done
  # The expression covers what the wheel carries (scripts/build_dist.sh).
  unzip -p "$wheel" '*.dist-info/METADATA' >"$tmp/METADATA"
  expression='MIT AND (LGPL-3.0-or-later OR GPL-2.0-or-later) AND Apache-2.0 WITH LLVM-exception'
  [ "$arch" = aarch64 ] || expression+=' AND GPL-3.0-or-later WITH GCC-exception-3.1'
  grep -qxF "License-Expression: $expression" "$tmp/METADATA" ||
    fail "$wheel's License-Expression is not $expression"
  policy=$("$py" -m auditwheel show "$wheel" 2>&1 | tr '\n' ' ')
  echo "$policy" | grep -q "consistent with the following platform tag: \"manylinux_2_17_$arch\"" ||
    { echo "$policy"; fail "auditwheel does not place $wheel under manylinux_2_17_$arch"; }
}

# The extension's libraries as the loader resolves them (ldd's output, from
# LIST_COMMAND): GMP and Nettle from the wheel's own tallix.libs, and nothing
# else but glibc (libc, libm, and the pthread, dl and rt parts that glibc 2.17
# kept apart) and the loader. The C++ runtime is inside the extension.
check_bundled_libraries() {
  local extension=$1 libs line name
  shift
  libs="$(dirname "$extension")/tallix.libs/"
  "$@" "$extension" >"$tmp/ldd"
  cat "$tmp/ldd"
  ! grep -q 'not found' "$tmp/ldd" || fail "unresolved libraries"
  for lib in libgmp libnettle; do
    grep -E "^\s*$lib" "$tmp/ldd" | grep -q "=> $libs" || fail "$lib does not come from $libs"
  done
  while read -r line; do
    name=${line%% *}
    case $name in
      # qemu's loader lists the vDSO without a name.
      "("0x*")" | linux-vdso.so.* | libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | */ld-linux*.so.* | ld-linux*) ;;
      libgmp-*.so* | libnettle-*.so*) ;;
      *) fail "the extension loads $name from the system" ;;
    esac
  done <"$tmp/ldd"
}

# Each installed module must be the wheel's, not the source tree's.
expect_installed_modules() {
  local python=$1 site=$2
  (cd tests && "$python" -c "
import tallix, tallix_dask
for module in (tallix, tallix_dask):
    assert module.__file__.startswith('$site'), module.__file__
")
}

# x86-64, natively: a fresh virtual environment, the whole suite.
test_x86_64_wheel() {
  local wheel=$1 venv=$tmp/venv site extension
  "$base_python" -m venv "$venv"
  echo "check_dist: x86_64 wheel, installing into a fresh environment"
  "$venv/bin/pip" install -q --disable-pip-version-check "$wheel[test,dask]"
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
  extension=$(ls "$site"/tallix*.so)
  check_bundled_libraries "$extension" ldd
  expect_installed_modules "$venv/bin/python" "$site"
  echo "check_dist: x86_64 wheel, the whole suite"
  (cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

# The suite's part that runs under emulation (README, "Platforms"): every
# accumulator kind once and the golden receipts. Tests that start the interpreter
# again (process pools, subprocesses) are left out: without binfmt_misc the bare
# arm64 binary cannot be executed.
aarch64_tests=(test_sum.py test_dot.py test_moments.py test_cov.py test_extrema.py test_hist.py
  test_weighted.py test_hardening_golden.py)

# aarch64, under qemu-user: Debian's arm64 CPython 3.11 (scripts/aarch64_python.sh),
# the tests' packages from their aarch64 wheels (kept between runs, by version),
# and the tallix wheel unpacked into a folder of its own.
test_aarch64_wheel() {
  local wheel=$1 cache python requirements key deps site extension
  cache=$(bash scripts/wheel_cache.sh)
  python=$cache/aarch64-python/python
  bash scripts/aarch64_python.sh "$cache/aarch64-python"
  requirements=$("$py" -c 'from importlib.metadata import version as v
print(*(f"{p}=={v(p)}" for p in ("numpy", "pandas", "pytest", "hypothesis")))')
  key=$(echo "$requirements" | sha256sum | cut -c1-12)
  deps=$cache/aarch64-site-$key
  if [ ! -d "$deps" ]; then
    echo "check_dist: aarch64 wheels of $requirements"
    # numpy's recent aarch64 wheels are manylinux_2_28; the Debian sysroot is newer.
    "$py" -m pip install -q --disable-pip-version-check --target "$deps.tmp" --only-binary=:all: \
      --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --python-version 3.11 \
      --implementation cp $requirements
    mv "$deps.tmp" "$deps"
  fi
  site=$tmp/aarch64-site
  "$py" -m pip install -q --disable-pip-version-check --no-deps --target "$site" --only-binary=:all: \
    --platform manylinux2014_aarch64 --python-version 3.11 --implementation cp "$wheel"
  extension=$(ls "$site"/tallix*.so)
  check_bundled_libraries "$extension" env QEMU_LD_PREFIX=/usr/aarch64-linux-gnu \
    qemu-aarch64 /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 --list
  export PYTHONPATH=$site:$(realpath "$deps")
  expect_installed_modules "$python" "$site"
  echo "check_dist: aarch64 wheel under qemu: ${aarch64_tests[*]}"
  # A test that starts sys.executable (the bare arm64 binary) as a subprocess
  # cannot run without binfmt_misc; it runs natively against the x86_64 wheel.
  (cd tests && "$python" -m pytest -q -p no:cacheprovider "${aarch64_tests[@]}" \
    -k "not test_unsorted_decoded_edges_cost_logarithmic_time")
  unset PYTHONPATH
}

py=${PYTHON:-.venv/bin/python}
py_dir=$(cd "$(dirname "$py")" && pwd)
check_sdist_leaves_out_scratch
bash scripts/build_dist.sh . dist
expect_tracked_only dist/tallix-*.tar.gz .
check_sdist_names_missing_libraries dist/tallix-*.tar.gz
for arch in x86_64 aarch64; do
  check_wheel_contents "$(ls dist/tallix-*_"$arch".whl)" "$arch"
done
test_x86_64_wheel "$(realpath dist/tallix-*_x86_64.whl)"
test_aarch64_wheel "$(realpath dist/tallix-*_aarch64.whl)"
echo "check_dist: sdist, both wheels, and the installed suites OK"
