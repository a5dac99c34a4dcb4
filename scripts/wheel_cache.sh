#!/usr/bin/env bash
# Prints the folder where the wheels' toolchain pieces are kept between runs:
# GMP and Nettle built for each target, the aarch64 interpreter and the test
# packages' aarch64 wheels. They depend on the machine, not on the checkout,
# so every clone on the machine shares them (each piece records what it was
# built from and is rebuilt when that changes). TALLIX_WHEEL_CACHE overrides.
set -euo pipefail
dir=${TALLIX_WHEEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tallix}
mkdir -p "$dir"
echo "$dir"
