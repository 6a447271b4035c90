#!/usr/bin/env bash
# Builds the driver and runs its main job.
set -euo pipefail
cd "$(dirname "$0")"
./tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zelbacnet-server
exec build/bin/zelbacnet-server "$@"
