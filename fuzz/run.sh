#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting
# from the committed seeds in fuzz/corpus/<harness>. New inputs go to
# build/fuzz/corpus/<harness>; a crash leaves its input in build/fuzz/artifacts
# and fails the run.
#
#   FUZZ_SECONDS    seconds per harness (default 30)
#   FUZZ_HARNESSES  which harnesses (default: decode sums stats)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
harnesses=${FUZZ_HARNESSES:-"decode sums stats"}
out=build/fuzz
cxx=${FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "installing clang (libFuzzer comes with it)"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang
fi
bash scripts/ensure-system-deps.sh

flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -ffp-contract=off -Wall -Wextra -Wpedantic
       -fsanitize=address,undefined -fno-sanitize-recover=undefined -Isrc)
mkdir -p "$out/obj" "$out/artifacts"

# Core objects, rebuilt when their source or any core header is newer.
newest_header=$(find src -name '*.hpp' -printf '%T@\n' | sort -n | tail -1)
objects=()
to_build=()
while IFS= read -r src; do
  obj="$out/obj/$(echo "${src#src/}" | tr / _).o"
  objects+=("$obj")
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] ||
     [ "$(stat -c %Y "$obj")" -lt "${newest_header%.*}" ]; then
    to_build+=("$src:$obj")
  fi
done < <(find src -name '*.cpp' | sort)
if [ ${#to_build[@]} -gt 0 ]; then
  echo "compiling ${#to_build[@]} core sources for fuzzing"
  printf '%s\n' "${to_build[@]}" |
    xargs -P2 -I{} sh -c 'src=${1%%:*}; obj=${1#*:}; shift; "$@" -fsanitize=fuzzer-no-link -c "$src" -o "$obj"' _ {} "$cxx" "${flags[@]}"
fi

declare -A max_len=([decode]=8192 [sums]=4096 [stats]=2048)
status=0
for h in $harnesses; do
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "fuzz/$h.cpp" "${objects[@]}" -lgmpxx -lgmp -lnettle \
    -o "$out/$h"
  mkdir -p "$out/corpus/$h"
  echo "fuzzing $h for ${seconds}s"
  if ! "$out/$h" -max_total_time="$seconds" -max_len="${max_len[$h]:-4096}" -timeout=30 \
      -malloc_limit_mb=512 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$h-" "$out/corpus/$h" "fuzz/corpus/$h" \
      >"$out/$h.log" 2>&1; then
    status=1
    echo "  $h FAILED; see $out/$h.log and $out/artifacts/"
    grep -m5 -E 'ERROR|fuzz check failed|runtime error' "$out/$h.log" || true
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/$h.log" | grep -o '[0-9]*$' || true)
  echo "  $h: ${runs:-?} executions"
done
exit $status
