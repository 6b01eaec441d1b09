#!/bin/sh
# Runs the benchmarks of a build folder configured with ZRL_BUILD_BENCH=ON:
# every Google Benchmark program, then the loopback comparison of the
# event-stream client, zrl-events and the npm eventsource client. The npm
# peer is installed from its lockfile into bench/LDEventSource/node-peer when
# it is missing; without Node.js it is left out.
# usage: run-benchmarks.sh [--once] BUILD_DIR
# --once runs every benchmark a single time at its smallest size, without
# the npm peer: a check that each still builds and runs (make test), not a
# measurement.
# LOOPBACK_EVENTS, LOOPBACK_RUNS and LOOPBACK_SECONDS change the loopback
# tool's stream length, runs per figure and seconds per latency run.
set -eu
once=0
if [ "${1:-}" = "--once" ]; then
  once=1
  shift
fi
build=${1:?usage: run-benchmarks.sh [--once] BUILD_DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0

# run NAME ARGS...: one benchmark program, its failure remembered.
run() {
  echo "== $(basename "$1")"
  "$@" || { echo "$(basename "$1") failed"; status=1; }
}

found=0
for program in $(find "$build/bench" -type f -perm -u+x -name '*Benchmark' 2>/dev/null | sort); do
  found=1
  if [ "$once" = 0 ]; then
    run "$program"
  elif [ "$(basename "$program")" = NetScaleBenchmark ]; then
    run "$program" --events 20 --runs 1 0 10
  else
    run "$program" --benchmark_min_time=0 --benchmark_repetitions=1
  fi
done
if [ "$found" = 0 ]; then
  echo "no benchmark programs in $build/bench: configure with ZRL_BUILD_BENCH=ON"
  exit 1
fi

loopback="$build/bench/LDEventSource/ZRLEventStreamLoopback"
if [ ! -x "$loopback" ]; then
  echo "no $loopback"
  exit 1
fi
scale="$build/bench/Dashboard/ZRLDashboardScale"
if [ "$once" = 1 ]; then
  if [ -x "$scale" ]; then
    run "$scale" "$build/Tools/zrl-dashboard/zrl-dashboard" 10 1 1
  fi
  cluster="$build/bench/Dashboard/ZRLDashboardClusterScale"
  if [ -x "$cluster" ]; then
    run "$cluster" "$build/Tools/zrl-dashboard/zrl-dashboard" 10 1
  fi
  set -- --events 1000 --runs 1 --latency-seconds 0.2 --rates 1000 --clients global,serial,zrl-events
  if [ -x "$build/Tools/zrl-events/zrl-events" ]; then
    set -- "$@" --zrl-events "$build/Tools/zrl-events/zrl-events"
  fi
  run "$loopback" "$@"
  exit $status
fi
set -- --events "${LOOPBACK_EVENTS:-1000000}" --runs "${LOOPBACK_RUNS:-5}" \
  --latency-seconds "${LOOPBACK_SECONDS:-2}"
if [ -x "$build/Tools/zrl-events/zrl-events" ]; then
  set -- "$@" --zrl-events "$build/Tools/zrl-events/zrl-events"
fi
# The peer's release, eventsource 4.1.1 (pinned in the lockfile), is the
# newest that runs on Node.js 20, the machine's own: 5.0.0 and later need
# 22.12. It needs 20 or later; Debian's nodejs package is older. The loopback
# tool prints zrl-events' ratio to it, both measured in the same run.
peer="$root/bench/LDEventSource/node-peer"
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if [ "$node_major" -lt 20 ]; then
  echo "Node.js 20 or later not found: the npm peer is left out"
elif command -v npm >/dev/null 2>&1; then
  if [ ! -d "$peer/node_modules/eventsource" ]; then
    echo "== installing the npm peer into $peer"
    (cd "$peer" && npm ci --no-audit --no-fund) || echo "npm ci failed: the npm peer is left out"
  fi
  if [ -d "$peer/node_modules/eventsource" ]; then
    set -- "$@" --node "$(command -v node)" --node-script "$peer/count-messages.mjs"
  fi
else
  echo "npm not found: the npm peer is left out"
fi
echo "(Node.js $(node --version 2>/dev/null || echo absent))"
run "$loopback" "$@"
exit $status
