#!/usr/bin/env bash
# Installs what `make wheel` and `make test-dist` need beyond the development
# requirements, when it is missing:
#   - a deb-src entry for Debian's own archive, so that `apt-get source` can
#     fetch the GMP and Nettle sources the wheels bundle (built for each target);
#   - dpkg-dev (apt-get source unpacks with dpkg-source), m4 (GMP's build) and
#     qemu-user (the aarch64 wheel's tests run under it);
#   - the arm64 CPython 3.11 and its libraries, unpacked into a folder, for
#     those tests (scripts/aarch64_python.sh).
# Needs root (or sudo) only when something is missing.
set -euo pipefail
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
deb_src=/etc/apt/sources.list.d/tallix-deb-src.sources
missing=()
command -v dpkg-source >/dev/null 2>&1 || missing+=(dpkg-dev)
command -v m4 >/dev/null 2>&1 || missing+=(m4)
command -v qemu-aarch64 >/dev/null 2>&1 || missing+=(qemu-user)
[ -d /usr/aarch64-linux-gnu/lib ] || missing+=(libc6-arm64-cross)

updated=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  echo "adding a deb-src entry for Debian's archive ($deb_src)"
  . /etc/os-release
  printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' \
    "Suites: $VERSION_CODENAME" 'Components: main' \
    'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' | "${sudo_cmd[@]}" tee "$deb_src" >/dev/null
  "${sudo_cmd[@]}" apt-get update -qq
  updated=1
fi
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing packages for the wheels: ${missing[*]}"
[ $updated -eq 1 ] || "${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
