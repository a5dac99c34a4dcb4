#!/usr/bin/env bash
# Builds the GMP (with its C++ layer) and Nettle that a wheel bundles, from
# Debian's source packages, with Zig's compilers for one architecture at the
# manylinux2014 floor (glibc 2.17), into PREFIX (include/ and lib/).
#
# The floor comes from what the toolchain links against: Zig builds against
# the glibc version named in its target and links its own C++ runtime
# statically, so nothing asks for a newer glibc or for a system libstdc++.
# GMP is its generic C build (no assembly) on both architectures: exact big
# integers only enter in queries, never in the batch kernels.
# Nettle is built without its public-key half (hogweed), which needs GMP and
# which the core does not use. A finished PREFIX is kept: a second call with
# the same sources and flags returns at once.
#
# Usage: scripts/build_wheel_deps.sh ARCH PREFIX   (ARCH: x86_64 or aarch64)
# PYTHON names the interpreter that has the ziglang package.
set -euo pipefail
arch=$1
prefix=$(realpath -m "$2")
py=${PYTHON:-.venv/bin/python}
py="$(cd "$(dirname "$py")" && pwd)/$(basename "$py")"
here=$(cd "$(dirname "$0")" && pwd)
case $arch in
  x86_64 | aarch64) ;;
  *) echo "build_wheel_deps: unknown architecture $arch" >&2; exit 2 ;;
esac
target=$arch-linux-gnu.2.17
# Contraction off in GMP and Nettle too: no compiler used for a wheel fuses.
# Zig's compilers emit debug information unless told not to; the wheels carry
# none (the libraries would be three times larger). These two come after the
# caller's options, so that no later -g or -ffp-contract undoes them; the
# optimisation level comes first, so that a caller's (CMake's -O3) wins.
flags="-O2 -fPIC"
final_flags="-g0 -ffp-contract=off"
debian_versions=$(apt-cache showsrc gmp nettle 2>/dev/null | grep '^Version:' | sort -u | tr '\n' ' ')
zig_version=$("$py" -m ziglang version)
gmp_options="--disable-assembly --enable-cxx"
# Nettle's default CFLAGS carry -ggdb3, which would triple the wheel's copy.
nettle_options="--disable-assembler --disable-public-key --disable-openssl --disable-documentation CFLAGS=-O2"
# Each library is rebuilt only when something that decides it changed.
recipe_of() { echo "$target $flags $final_flags $1 $debian_versions zig $zig_version"; }
is_built() { [ -f "$prefix/.$1-recipe" ] && [ "$(cat "$prefix/.$1-recipe")" = "$(recipe_of "$2")" ]; }
# Several checkouts share PREFIX (scripts/wheel_cache.sh): one builds at a time.
mkdir -p "$prefix/bin"
exec 9>"$prefix/.lock"
flock 9
# Wrappers, since libtool and configure scripts want one word per tool. They
# name the caller's interpreter, so they are written on every call.
for tool in cc c++; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s %s "$@" %s\n' "$py" "$tool" "$target" "$flags" "$final_flags" \
    >"$prefix/bin/zig-$tool"
done
for tool in ar ranlib; do
  printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$py" "$tool" >"$prefix/bin/zig-$tool"
done
chmod +x "$prefix/bin"/zig-*
if is_built gmp "$gmp_options" && is_built nettle "$nettle_options"; then
  echo "GMP and Nettle for $arch: up to date in $prefix"
  exit 0
fi

mkdir -p "$prefix/src"
export CC="$prefix/bin/zig-cc" CXX="$prefix/bin/zig-c++" AR="$prefix/bin/zig-ar" RANLIB="$prefix/bin/zig-ranlib"
# --host differs from --build even for x86_64 (the -gnu vs -pc-linux-gnu
# spelling), so configure never runs what it builds against the host's glibc.
# GMP runs small generators of its own during the build: the host's compiler
# builds those.
common="--build=$(uname -m)-pc-linux-gnu --host=$arch-linux-gnu --prefix=$prefix --libdir=$prefix/lib"
common+=" --enable-shared --disable-static CC_FOR_BUILD=gcc"

# Prints the unpacked source folder of a Debian source package.
fetch_source() {
  local package=$1
  rm -rf "${prefix:?}/src/$package"
  mkdir -p "$prefix/src/$package"
  (cd "$prefix/src/$package" && apt-get source -qq "$package" >source.log 2>&1) || {
    cat "$prefix/src/$package/source.log"
    echo "build_wheel_deps: 'apt-get source $package' failed (scripts/ensure-wheel-deps.sh adds the deb-src entry)" >&2
    exit 1
  }
  find "$prefix/src/$package" -mindepth 1 -maxdepth 1 -type d | head -1
}

# Runs a build step quietly, its log shown only when it fails.
run_logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -40 "$log"; echo "build_wheel_deps: failed, see $log" >&2; exit 1; }
}

started=$SECONDS
if ! is_built gmp "$gmp_options"; then
  echo "GMP for $arch (glibc 2.17, Zig): Debian's source, generic C build (a few minutes)"
  gmp_src=$(fetch_source gmp)
  # Debian's GMP source leaves out the manual (doc/), which configure still
  # lists; the library needs neither it nor the tests, demos and tuning programs.
  mkdir -p "$gmp_src/doc"
  printf 'all:\ninstall:\n' >"$gmp_src/doc/Makefile.in"
  sed -i 's/^SUBDIRS = .*/SUBDIRS = mpn mpz mpq mpf printf scanf rand cxx/' "$gmp_src/Makefile.in"
  (cd "$gmp_src" && run_logged "$prefix/src/gmp-build.log" sh -c \
    "./configure $common $gmp_options && make -j2 && make install")
  recipe_of "$gmp_options" >"$prefix/.gmp-recipe"
fi
if ! is_built nettle "$nettle_options"; then
  echo "Nettle for $arch (glibc 2.17, Zig): Debian's source"
  nettle_src=$(fetch_source nettle)
  # Debian's patches leave configure.ac newer than what was generated from
  # it; the generated files are the release's own, so the autotools are not
  # run again.
  (cd "$nettle_src" && run_logged "$prefix/src/nettle-build.log" sh -c \
    "./configure $common $nettle_options && make -j2 AUTOCONF=: AUTOHEADER=: && make install AUTOCONF=: AUTOHEADER=:")
  recipe_of "$nettle_options" >"$prefix/.nettle-recipe"
fi
rm -rf "$prefix/src"
echo "GMP and Nettle for $arch: built in $((SECONDS - started)) s"
