#!/usr/bin/env bash
# Builds vesk-mcp and the Vesk Studio stand-in, then runs a whole session through vesk-mcp and
# prints it: initialize, the tool list, drawing calls, progress, the stand-in going away and back.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build/sim/vesk-demo "$PWD/build/vesk-mcp" "$PWD/build/sim/vesk-studio-sim"
