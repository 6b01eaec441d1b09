#!/bin/sh
# Makes the README's pictures with the programs themselves: a zrl-demo run
# (once, no window) pushes one preview of each display type and snapshots
# the device after each; side-by-side.mjs lays the four snapshots in one
# row, and page-screenshot.mjs shows the dashboard's page with that run's
# capture, its tree and a live preview, in Debian's headless Chromium.
# playwright-core (never a browser) is installed into WORK from the
# dashboard browser test's lock file.
# usage: docs-images.sh WORK TOOLS_BUILD_DIR DOCS_DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
lock=$here/../../tests/Dashboard/browser
work=$1
tools=$2
docs=$3
mkdir -p "$work" "$docs"
if ! cmp -s "$lock/package-lock.json" "$work/package-lock.json" ||
   [ ! -f "$work/node_modules/playwright-core/package.json" ]; then
  cp "$lock/package.json" "$lock/package-lock.json" "$work/"
  (cd "$work" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
cp "$here/page-screenshot.mjs" "$here/side-by-side.mjs" "$work/"

# A fresh dashboard each time, so that the page shows this run alone.
rm -rf "$work/run"
"$tools/zrl-demo/zrl-demo" --once --no-window --port 0 --out "$work/run"
shots=$work/run/snapshots
node "$work/side-by-side.mjs" "$docs/device-previews.png" 240 \
  "coach_mark=$shots/01-coach_mark.png" "inline=$shots/02-inline.png" \
  "passive_nudge=$shots/03-passive_nudge.png" "in_app=$shots/04-in_app.png"
node "$work/page-screenshot.mjs" "$tools/zrl-dashboard/zrl-dashboard" "$work/run/dashboard" \
  com.zorlan.demo Login "$docs/dashboard-capture.png"
echo "docs-images: wrote $docs/device-previews.png and $docs/dashboard-capture.png"
