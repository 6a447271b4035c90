#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")"
./tools/setup.sh
# CI sets ZB_WERROR=ON: a warning fails the build there.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZB_WERROR="${ZB_WERROR:-OFF}" >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300
