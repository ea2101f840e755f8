#!/usr/bin/env bash
# Builds dirovctl and runs its tour of a simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target dirovctl
exec build/tools/dirovctl --sim tour "$@"
