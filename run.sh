#!/usr/bin/env bash
# Builds the driver and runs its main job: a short host session on a simulated BACnet site
# inside private network namespaces (tools/demo/demo.sh). `./run.sh site` keeps the simulated
# site and the driver server up until Ctrl-C, for host commands of one's own; `./run.sh server
# [ARGS]` builds and runs the driver server alone.
set -euo pipefail
cd "$(dirname "$0")"
./tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target zelbacnet-server zelbacnet
if [ "${1:-}" = server ]; then
  shift
  exec build/bin/zelbacnet-server "$@"
fi
if [ "${1:-}" = site ]; then
  exec tools/demo/demo.sh site
fi
exec tools/demo/demo.sh
