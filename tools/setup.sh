#!/usr/bin/env bash
# Installs the build and test needs on a fresh machine (Debian packages, the npm test peer).
# libclang-rt-dev holds the sanitizer and libFuzzer runtimes that fuzz/run links with clang; tshark
# is the end-to-end tests' referee of the wire; nlohmann-json3-dev reads and writes the host
# connection's JSON; ccache, when present, shares compiled objects between build trees.
set -euo pipefail
cd "$(dirname "$0")/.."
need=()
for p in cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux \
  tshark nlohmann-json3-dev ccache clang-format; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
# Node.js from another source (e.g. a vendor package) brings its own npm; Debian's npm would
# conflict with it, so look for the commands, not the packages.
command -v node >/dev/null 2>&1 || need+=(nodejs)
command -v npm >/dev/null 2>&1 || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
if [ -f tests/peer/package.json ] && [ ! -d tests/peer/node_modules ]; then
  (cd tests/peer && npm ci --no-audit --no-fund --silent)
fi
