#!/usr/bin/env bash
# run.sh - runs vesk-mcp under the official MCP clients: the TypeScript SDK's Client with its
# stdio transport (sdk.test.mjs) and the MCP Inspector in CLI mode (inspector.test.mjs), both
# against vesk-studio-sim. Installs the pinned packages with `npm ci` first when node_modules is
# missing or was installed from another package-lock.json. Exit code 0 only when all pass.
#
#   tests/mcp-client/run.sh <path-to-vesk-mcp> <path-to-vesk-studio-sim>
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 <path-to-vesk-mcp> <path-to-vesk-studio-sim>" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vesk=$(realpath "$1")
sim=$(realpath "$2")
for program in "$vesk" "$sim"; do
    [[ -x "$program" ]] || { echo "run.sh: $program is not an executable" >&2; exit 2; }
done
# A Node.js of 20 or later (`node --test --test-timeout`), installed into .cache/node if need be.
PATH="$("$here/../../scripts/node-path.sh"):$PATH"
major=$(node -p 'process.versions.node.split(".")[0]')
[[ $major -ge 20 ]] || { echo "run.sh: Node.js 20 or later needed, found $(node --version)" >&2; exit 1; }

cd "$here"
stamp=node_modules/.vesk-package-lock.sha256
wanted=$(sha256sum package-lock.json | cut -d' ' -f1)
if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$wanted" ]]; then
    echo "== npm ci (tests/mcp-client)"
    npm ci --no-audit --no-fund --loglevel=error
    echo "$wanted" >"$stamp"
fi

# The version the server must report: the one in the project's CMakeLists.txt.
VESK_VERSION=$(sed -n 's/^project(vesk-mcp VERSION \([0-9.]*\).*/\1/p' ../../CMakeLists.txt)
export VESK_MCP="$vesk" VESK_SIM="$sim" VESK_VERSION
node --test --test-timeout=180000 sdk.test.mjs inspector.test.mjs
