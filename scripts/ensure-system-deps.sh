#!/usr/bin/env bash
# Installs the system libraries the build links (GMP, and Nettle for SHA-256), a
# C++ compiler, and the Java runtime that the Spark tests start, when they are
# missing. Needs root (or sudo) only when something is missing.
set -euo pipefail
missing=()
[ -f /usr/include/gmpxx.h ] || missing+=(libgmp-dev)
[ -f /usr/include/nettle/sha2.h ] || missing+=(nettle-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v make >/dev/null 2>&1 || missing+=(make)
# Spark 4 runs on Java 17 or 21; Debian 12 ships 17.
ls /usr/lib/jvm/java-17-openjdk-*/bin/java >/dev/null 2>&1 || missing+=(openjdk-17-jre-headless)
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing system packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
