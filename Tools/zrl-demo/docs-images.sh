#!/bin/sh
# Makes the README's two pictures with the programs themselves: a zrl-demo
# run (once, no window) gives the device's snapshot with a coach-mark
# preview, and page-screenshot.mjs shows the dashboard's page with that
# run's capture open, in Debian's headless Chromium. playwright-core (never a
# browser) is installed into WORK from the dashboard browser test's lock file.
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
cp "$here/page-screenshot.mjs" "$work/"

# A fresh dashboard each time, so that the page shows this run alone.
rm -rf "$work/run"
"$tools/zrl-demo/zrl-demo" --once --no-window --port 0 --out "$work/run"
cp "$work/run/snapshots/01-coach_mark.png" "$docs/device-preview.png"
node "$work/page-screenshot.mjs" "$tools/zrl-dashboard/zrl-dashboard" "$work/run/dashboard" \
  com.zorlan.demo Login "$docs/dashboard-capture.png"
echo "docs-images: wrote $docs/device-preview.png and $docs/dashboard-capture.png"
