#!/bin/sh
# make cluster-demo: two zrl-dashboard instances sharing a throw-away
# PostgreSQL cluster, HAProxy in front of them with the configuration in
# Tools/zrl-dashboard/cluster/haproxy.cfg, and a zrl-sim device whose
# plug-in talks to HAProxy. A preview pushed through the instance that the
# device is not connected to reaches it through the database; then the
# device's instance is killed and the device carries on through the other.
# It prints the page's address (through HAProxy) and keeps everything
# running until Ctrl-C, or stops at once with ZRL_DEMO_ONCE=1.
#
# usage: scripts/cluster-demo.sh TOOLS_DIR OUT_DIR
#   TOOLS_DIR  the built tools (build/release/Tools)
#   OUT_DIR    where the device's snapshots go (kept after the run)
# Exit status: 0 when every step succeeded, 1 when one failed.
set -eu

TOOLS=${1:?usage: cluster-demo.sh TOOLS_DIR}
TOOLS=$(cd "$TOOLS" && pwd)
OUT=${2:?usage: cluster-demo.sh TOOLS_DIR OUT_DIR}
mkdir -p "$OUT/snapshots"
OUT=$(cd "$OUT" && pwd)
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
APP=com.zorlan.demo
command -v haproxy >/dev/null || { echo "cluster-demo: haproxy is missing (make deps)" >&2; exit 1; }

WORK=$(mktemp -d /tmp/zrl-cluster-demo.XXXXXX)
chmod 755 "$WORK"
PIDS=""
cleanup() {
  trap - EXIT INT TERM
  for pid in $PIDS; do kill "$pid" 2>/dev/null || true; done
  [ -f "$WORK/haproxy.pid" ] && kill "$(cat "$WORK/haproxy.pid")" 2>/dev/null || true
  sh "$SOURCE/scripts/throwaway-postgresql.sh" stop "$WORK/pg"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

say() { printf '%s\n' "$*"; }
fail() { say "cluster-demo: $*" >&2; exit 1; }
# Waits (up to 60 s) until FILE has COUNT lines matching PATTERN.
wait_for() {
  tries=600
  while [ "$(grep -c -E "$2" "$1" 2>/dev/null || true)" -lt "$3" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
random_port() { echo $((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000)); }

say "1. A throw-away PostgreSQL cluster"
DATABASE=$(sh "$SOURCE/scripts/throwaway-postgresql.sh" start "$WORK/pg") || exit 1
say "   $DATABASE"

say "2. Two zrl-dashboard instances on it, from one data folder"
start_instance() {
  "$TOOLS/zrl-dashboard/zrl-dashboard" --port 0 --data "$OUT/data" --database "$DATABASE" \
    --public-name 127.0.0.1 --public-name localhost >"$WORK/$1.out" 2>"$WORK/$1.err" &
  PIDS="$PIDS $!"
  eval "PID_$1=$!"
  wait_for "$WORK/$1.out" '^open: ' 1 || fail "instance $1 did not start: $(cat "$WORK/$1.err")"
  eval "PORT_$1=$(sed -n 's|^listening: https://127.0.0.1:||p' "$WORK/$1.out")"
}
start_instance one
start_instance two
TOKEN=$(sed -n 's|^open: .*token=||p' "$WORK/one.out")
CA="$OUT/data/ca.pem"
say "   one on 127.0.0.1:$PORT_one, two on 127.0.0.1:$PORT_two"

say "3. HAProxy in front of them"
for attempt in 1 2 3 4 5; do
  BALANCER_PORT=$(random_port)
  if ZRL_HAPROXY_BIND=127.0.0.1:$BALANCER_PORT ZRL_DASHBOARD_ONE=127.0.0.1:$PORT_one \
      ZRL_DASHBOARD_TWO=127.0.0.1:$PORT_two ZRL_DASHBOARD_CA=$CA \
      haproxy -f "$SOURCE/Tools/zrl-dashboard/cluster/haproxy.cfg" -D -p "$WORK/haproxy.pid" \
      >"$WORK/haproxy.log" 2>&1; then break; fi
  [ "$attempt" -lt 5 ] || fail "HAProxy would not start: $(cat "$WORK/haproxy.log")"
done
say "   127.0.0.1:$BALANCER_PORT"

say "4. A device through HAProxy"
mkfifo "$WORK/device.in"
"$TOOLS/zrl-sim/zrl-sim" run --scene "$SOURCE/Tools/zrl-sim/scenes/login.json" \
  --dashboard "127.0.0.1:$BALANCER_PORT" --ca-file "$CA" --app-id "$APP" \
  --defaults "$WORK/defaults.json" <"$WORK/device.in" >"$WORK/device.out" 2>"$WORK/device.err" &
PIDS="$PIDS $!"
exec 3>"$WORK/device.in"
wait_for "$WORK/device.err" '^stream: open' 1 || fail "the device's stream did not open"
streams() {
  curl -sS --cacert "$CA" -H "Authorization: Bearer $TOKEN" \
    "https://127.0.0.1:$1/metrics" | sed -n "s|^zrl_dashboard_open_streams{app=\"$APP\"} ||p"
}
if [ "$(streams "$PORT_one")" = 1 ]; then ON=one; OTHER=two; else ON=two; OTHER=one; fi
say "   its stream is on instance $ON"

push() {
  curl -sS --fail-with-body --cacert "$CA" -H "Authorization: Bearer $TOKEN" \
    -H "Content-Type: application/json" -X POST \
    --data "{\"ui\":{\"display_type\":\"in_app\",\"title\":\"$2\",\"text\":\"$3\"}}" \
    "https://127.0.0.1:$1/api/previews?appId=$APP"
}
snapshot() {
  rm -f "$OUT/snapshots/$1"
  echo "snapshot $OUT/snapshots/$1" >&3
}
OTHER_PORT=$(eval echo "\$PORT_$OTHER")
say "5. A preview pushed through instance $OTHER: $(push "$OTHER_PORT" "Through the other" "Pushed through instance $OTHER.")"
wait_for "$WORK/device.err" '^builder: ' 1 || fail "the preview did not reach the device"
say "   it reached the device on instance $ON through PostgreSQL"
snapshot 1-through-the-other.png

say "6. Instance $ON is killed"
kill -9 "$(eval echo "\$PID_$ON")"
wait_for "$WORK/device.err" '^stream: open' 2 || fail "the device did not come back"
say "   the device came back through HAProxy to instance $OTHER"
say "   pushed again: $(push "$OTHER_PORT" "Still here" "Instance $ON is gone; $OTHER carries on.")"
wait_for "$WORK/device.err" '^builder: ' 2 || fail "the second preview did not reach the device"
say "   it reached the device"
snapshot 2-after-the-loss.png
echo "dump" >&3
wait_for "$WORK/device.out" '"screen"' 1 || true

say ""
say "open: https://127.0.0.1:$BALANCER_PORT/?token=$TOKEN  (the page, through HAProxy; trust $CA)"
if [ "${ZRL_DEMO_ONCE:-}" = 1 ]; then exit 0; fi
say "Ctrl-C stops everything."
while :; do sleep 3600; done
