#!/usr/bin/env bash
# Builds the Python package as a platform wheel that carries the shared library.
#   scripts/wheel.sh [LIBRARY [OUTDIR]]
# LIBRARY defaults to build/libdirov410.so (built here when missing), OUTDIR
# to dist/. Offline: setuptools and wheel come from Debian
# (python3-setuptools, python3-wheel), nothing from a package index.
set -euo pipefail
cd "$(dirname "$0")/.."
library=${1:-build/libdirov410.so}
out=${2:-dist}
if [ -z "${1:-}" ] && [ ! -e "$library" ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build --target dirov410
fi
mkdir -p "$out"
# A build folder of its own, so the source tree stays clean.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -rL python/. "$work/"  # -L: the command table is a link into commands/
rm -rf "$work/build" "$work"/*.egg-info
DIROV410_WHEEL_LIBRARY=$(realpath "$library") /usr/bin/python3 -m pip wheel -q \
  --no-build-isolation --no-index --no-deps -w "$out" "$work"
ls "$out"/dirov410-*.whl
