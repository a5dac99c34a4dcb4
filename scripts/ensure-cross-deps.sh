#!/usr/bin/env bash
# Installs what the aarch64 builds of the reproducibility matrix need on an
# x86-64 Debian host: the cross compiler and binutils, GMP and Nettle for arm64
# (multiarch), and qemu-user to run the results. Needs root (or sudo) only when
# something is missing. Called by scripts/repro_matrix.sh, not by `make test`:
# the cross packages are large and only the matrix uses them.
set -euo pipefail
sysroot=/usr/aarch64-linux-gnu
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
command -v aarch64-linux-gnu-objdump >/dev/null 2>&1 || missing+=(binutils-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
[ -f /usr/include/aarch64-linux-gnu/gmp.h ] || missing+=(libgmp-dev:arm64)
[ -f /usr/lib/aarch64-linux-gnu/libnettle.so ] || missing+=(nettle-dev:arm64)
[ -d "$sysroot/lib" ] || missing+=(libc6-arm64-cross)
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing cross-build packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# Multiarch: arm64 libraries install beside the host's, under */aarch64-linux-gnu.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  "${sudo_cmd[@]}" dpkg --add-architecture arm64
fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
