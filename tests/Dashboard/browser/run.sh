#!/bin/sh
# Runs the dashboard's browser test, or another script of this folder named
# after WORK. playwright-core (never a browser) is installed from the lock
# file into WORK when missing or out of date; the browser is Debian's Chromium.
# usage: run.sh WORK [SCRIPT.mjs] ZRL_DASHBOARD ZRL_EVENTS [ZRL_SIM SCENE]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$1
shift
script=dashboard.test.mjs
case "${1:-}" in *.mjs) script=$1; shift ;; esac
mkdir -p "$work"
if ! cmp -s "$here/package-lock.json" "$work/package-lock.json" ||
   [ ! -f "$work/node_modules/playwright-core/package.json" ]; then
  cp "$here/package.json" "$here/package-lock.json" "$work/"
  (cd "$work" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
cp "$here/$script" "$work/"
exec node "$work/$script" "$@"
