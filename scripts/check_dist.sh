#!/usr/bin/env bash
# Checks the distributions as a user receives them:
#   1. an sdist built from a clone holding an untracked scratch file packs
#      exactly the tracked files (plus the generated PKG-INFO);
#   2. `make wheel` gives a manylinux wheel of at most 1.5 MB that carries its
#      licences and bundles GMP and Nettle;
#   3. installed into a fresh virtual environment, its extension resolves GMP
#      and Nettle from the wheel and no system copy of them or of libcrypto,
#      and the whole test suite passes against that installation.
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

check_wheel_contents() {
  local wheel=$1
  case $(basename "$wheel") in
    *-cp311-abi3-manylinux_*.whl) ;;
    *) fail "$wheel is not a manylinux abi3 wheel" ;;
  esac
  [ "$(stat -c %s "$wheel")" -le $max_wheel_bytes ] || fail "$wheel is over $max_wheel_bytes bytes"
  "$base_python" -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep="\n")' \
    "$wheel" >"$tmp/wheel-files"
  for pattern in 'tallix\.libs/libgmp-.*\.so' 'tallix\.libs/libnettle-.*\.so' \
      'dist-info/licenses/LICENSE$' 'dist-info/licenses/licenses/LGPL-3\.txt$' \
      'dist-info/licenses/licenses/GMP-copyright\.txt$' \
      'dist-info/licenses/licenses/Nettle-copyright\.txt$'; do
    grep -q "$pattern" "$tmp/wheel-files" || fail "$wheel holds nothing matching $pattern"
  done
}

# Every library the extension needs from GMP or Nettle comes from the wheel's
# own tallix.libs; nothing resolves to a system copy, and no libcrypto at all.
check_bundled_libraries() {
  local extension=$1 libs
  libs="$(dirname "$extension")/tallix.libs/"
  ldd "$extension" >"$tmp/ldd"
  cat "$tmp/ldd"
  ! grep -q 'not found' "$tmp/ldd" || fail "unresolved libraries"
  ! grep -Eq 'libcrypto|libssl' "$tmp/ldd" || fail "the extension loads a crypto library"
  for lib in libgmp libnettle; do
    grep -E "^\s*$lib" "$tmp/ldd" | grep -q "=> $libs" || fail "$lib does not come from $libs"
    ! grep -E "=> /(usr/)?lib" "$tmp/ldd" | grep -q "$lib" || fail "$lib resolves to the system"
  done
}

test_installed_wheel() {
  local wheel=$1 venv=$tmp/venv site extension
  "$base_python" -m venv "$venv"
  "$venv/bin/pip" install -q --disable-pip-version-check "$wheel[test,dask]"
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
  extension=$(ls "$site"/tallix*.so)
  check_bundled_libraries "$extension"
  # From tests/, the source tree is not importable: both modules must be the installed ones.
  (cd tests && "$venv/bin/python" -c "
import tallix, tallix_dask
for module in (tallix, tallix_dask):
    assert module.__file__.startswith('$site'), module.__file__
")
  (cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

check_sdist_leaves_out_scratch
bash scripts/build_dist.sh . dist
expect_tracked_only dist/tallix-*.tar.gz .
wheel=$(ls dist/tallix-*.whl)
check_wheel_contents "$wheel"
test_installed_wheel "$(realpath "$wheel")"
echo "check_dist: sdist, wheel and installed suite OK"
