#!/bin/sh
# Installs the Debian packages that the build, the tests and the demo need.
# Idempotent: packages already installed are left alone, and apt-get runs only
# when something is missing.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config clang clang-format clang-tidy
libclang-rt-14-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
libasio-dev libcurl4-openssl-dev libssl-dev openssl nlohmann-json3-dev libfmt-dev
ca-certificates zlib1g-dev libspng-dev libcairo2-dev libpango1.0-dev fonts-dejavu-core
libsqlite3-dev libpq-dev postgresql haproxy curl libboost-dev chromium libnss3-tools
libsdl2-dev libx11-dev xvfb xauth xdotool"

# Node.js and npm run the browser test; a machine that already has them (from
# any source) keeps its own, since Debian's npm conflicts with other builds.
if ! command -v npm >/dev/null 2>&1; then
  PACKAGES="$PACKAGES nodejs npm"
fi

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  exit 0
fi

echo "Installing:$missing"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $missing
