#!/usr/bin/env bash
# Builds Noctra (Release) and runs it; arguments are passed on to noctra.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DNOCTRA_BUILD_TESTS=OFF >/dev/null
cmake --build build/run --target noctra -j "$(nproc)"
exec build/run/src/main/noctra "$@"
