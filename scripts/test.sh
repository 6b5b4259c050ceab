#!/usr/bin/env bash
# Builds vesk-mcp, its stand-in and its tests, then runs every test: the QtTest programs under
# CTest and the session driven by the official MCP client. Installs what is missing (Debian's
# packages, and a Node.js of version 20 or later into .cache/node when the machine has none: see
# scripts/node-path.sh); safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

# clang-format: the format test checks the layout of every source file.
scripts/setup.sh clang-format
echo "== QtTest suite"
ctest --test-dir build --output-on-failure -j2
echo "== official MCP client and Inspector"
tests/mcp-client/run.sh "$PWD/build/vesk-mcp" "$PWD/build/sim/vesk-studio-sim"
