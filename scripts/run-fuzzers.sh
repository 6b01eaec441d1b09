#!/bin/sh
# Runs every libFuzzer target of a build folder for a bounded time each.
# usage: run-fuzzers.sh BUILD_DIR SECONDS
set -eu
build=$1
seconds=$2
found=0
for fuzzer in $(find "$build/fuzz" -type f -perm -u+x -name '*Fuzzer' 2>/dev/null | sort); do
  found=1
  name=$(basename "$fuzzer")
  corpus="$build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  echo "== $name for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
done
[ "$found" = 1 ] || echo "no fuzz targets in $build/fuzz"
