#!/usr/bin/env bash
# Installs the system libraries the build links (GMP, and Nettle for SHA-256)
# and a C++ compiler, when they are missing; with `test`, also the Java runtime
# that the Spark tests start (the demo does not need it).
# Needs root (or sudo) only when something is missing.
# Usage: scripts/ensure-system-deps.sh [demo|test]   (default: test)
set -euo pipefail
mode=${1:-test}
missing=()
[ -f /usr/include/gmpxx.h ] || missing+=(libgmp-dev)
[ -f /usr/include/nettle/sha2.h ] || missing+=(nettle-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
# Spark 4 runs on Java 17 or 21; Debian 12 ships 17.
if [ "$mode" = test ]; then
  ls /usr/lib/jvm/java-17-openjdk-*/bin/java >/dev/null 2>&1 || missing+=(openjdk-17-jre-headless)
fi
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing system packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
