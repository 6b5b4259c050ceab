#!/usr/bin/env bash
# mcpb.sh - the MCP Bundle tools pinned in packaging/mcpb/package-lock.json (@anthropic-ai/mcpb),
# run with a Node.js of 20 or later (scripts/node-path.sh). Installs them with `npm ci` first when
# node_modules is missing or was installed from another package-lock.json.
#
#   scripts/mcpb.sh validate|pack|info|unpack ARGS...   the mcpb command-line tool
#   scripts/mcpb.sh test BUNDLE SIM VERSION             runs BUNDLE as the desktop host does
#                                                       (packaging/mcpb/bundle-test.mjs)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../packaging/mcpb" && pwd)
PATH="$("$here/../../scripts/node-path.sh"):$PATH"

stamp=$here/node_modules/.vesk-package-lock.sha256
wanted=$(sha256sum "$here/package-lock.json" | cut -d' ' -f1)
if [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
    echo "== npm ci (packaging/mcpb)" >&2
    (cd "$here" && npm ci --no-audit --no-fund --loglevel=error >&2)
    echo "$wanted" >"$stamp"
fi
if [[ ${1:-} == test ]]; then
    shift
    exec node "$here/bundle-test.mjs" "$@"
fi
exec "$here/node_modules/.bin/mcpb" "$@"
