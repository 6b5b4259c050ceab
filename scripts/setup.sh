#!/usr/bin/env bash
# Installs the Debian packages vesk-mcp needs (only those missing) and builds it into build/.
# Safe to run again: apt-get is skipped when everything is there, and the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-packages.sh g++ cmake ninja-build qt6-base-dev qt6-base-dev-tools "$@"

# Configured every time (a second or two, no rebuild): a tool installed since the last run, such
# as clang-format for the format test, is found then.
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
