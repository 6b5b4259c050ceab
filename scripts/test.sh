#!/usr/bin/env bash
# Builds vesk-mcp, its stand-in and its tests, then runs every test: the QtTest programs under
# CTest and the session driven by the official MCP client.
set -euo pipefail
cd "$(dirname "$0")/.."

# Node.js is on the machines already (with its own npm); Debian's is only the fallback.
if command -v node >/dev/null && command -v npm >/dev/null; then
    scripts/setup.sh
else
    scripts/setup.sh nodejs npm
fi
echo "== QtTest suite"
ctest --test-dir build --output-on-failure -j2
if [ -x tests/mcp-client/run.sh ]; then
    echo "== official MCP client and Inspector"
    tests/mcp-client/run.sh "$PWD/build/vesk-mcp" "$PWD/build/sim/vesk-studio-sim"
fi
