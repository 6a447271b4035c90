#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")"
./tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
