#!/usr/bin/env bash
# Lays out an aarch64 CPython 3.11 that runs under qemu-user on an x86-64
# Debian host, for testing the aarch64 wheel where it runs:
#   DIR/root      Debian's arm64 python3.11 and the libraries it loads
#                 (apt-get download, then dpkg -x; nothing is installed);
#   DIR/python    a launcher: qemu-aarch64 with the cross glibc and DIR/root's
#                 libraries, the standard library from DIR/root.
# The interpreter has no pip: the tests' packages come as aarch64 wheels
# (scripts/check_dist.sh installs them with pip's --platform and --target).
# A finished DIR is kept. Needs the arm64 architecture in dpkg (added here)
# and qemu-user and libc6-arm64-cross (scripts/ensure-wheel-deps.sh).
# Usage: scripts/aarch64_python.sh DIR
set -euo pipefail
dir=$(realpath -m "$1")
[ -x "$dir/python" ] && exit 0
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
  "${sudo_cmd[@]}" apt-get update -qq
fi
# The interpreter, its standard library, and what their extension modules load
# beyond glibc (which comes from the cross sysroot).
packages=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib zlib1g libffi8 libssl3
  libexpat1 libbz2-1.0 liblzma5 libsqlite3-0 libuuid1 libcrypt1 libgcc-s1 libstdc++6
  libncursesw6 libtinfo6 libreadline8 libdb5.3 libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3
  libk5crypto3 libkrb5support0 libcom-err2 libkeyutils1)
echo "aarch64 CPython 3.11: fetching Debian's arm64 packages"
rm -rf "$dir"
mkdir -p "$dir/debs" "$dir/root"
(cd "$dir/debs" && apt-get download -qq "${packages[@]/%/:arm64}" >/dev/null)
for deb in "$dir/debs"/*.deb; do
  dpkg -x "$deb" "$dir/root"
done
rm -rf "$dir/debs"
libs="$dir/root/lib/aarch64-linux-gnu:$dir/root/usr/lib/aarch64-linux-gnu"
# QEMU_LD_PREFIX, not -L, so that subprocesses the tests start (the same
# launcher) find the loader as well. PYTHONPATH is the caller's. numpy's
# OpenBLAS probes the processor at import and spins under qemu unless the core
# type and one thread are set.
cat >"$dir/python" <<LAUNCHER
#!/bin/sh
export OPENBLAS_CORETYPE=ARMV8 OPENBLAS_NUM_THREADS=1
export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu LD_LIBRARY_PATH="$libs" PYTHONHOME="$dir/root/usr"
exec qemu-aarch64 "$dir/root/usr/bin/python3.11" "\$@"
LAUNCHER
chmod +x "$dir/python"
"$dir/python" -c 'import platform, ssl, sqlite3, decimal; print("aarch64 CPython", platform.python_version(), platform.machine())'
