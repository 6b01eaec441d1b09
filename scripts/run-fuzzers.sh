#!/bin/sh
# Runs every libFuzzer target of a build folder for a bounded time each and
# fails when one of them finds a crash, a leak or a time-out.
# usage: run-fuzzers.sh BUILD_DIR SECONDS
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=$2
# Fontconfig's once-per-process configuration is reported lost since the
# text code became a shared library (Pango's per-thread context that holds
# it sits in that library's thread-local storage, which LeakSanitizer does
# not seem to scan): the suite's suppressions.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$root/tests/lsan.supp"
found=0
status=0
for fuzzer in $(find "$build/fuzz" -type f -perm -u+x -name '*Fuzzer' 2>/dev/null | sort); do
  found=1
  name=$(basename "$fuzzer")
  corpus="$build/fuzz-corpus/$name"
  log="$build/fuzz-corpus/$name.log"
  mkdir -p "$corpus"
  # Seed inputs kept in the source tree (fuzz/*/seeds/NAME) are read too.
  seeds=$(find "$root/fuzz" -type d -path "*/seeds/$name" 2>/dev/null | head -n 1)
  echo "== $name for ${seconds}s"
  if "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-corpus/$name-" "$corpus" ${seeds:+"$seeds"} >"$log" 2>&1; then
    tail -n 6 "$log"
  else
    cat "$log"
    status=1
  fi
done
[ "$found" = 1 ] || echo "no fuzz targets in $build/fuzz"
exit $status
