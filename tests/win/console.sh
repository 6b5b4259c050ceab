#!/usr/bin/env bash
# console.sh - vesk-mcp.exe printing to a console window: wine turns a pty into a Windows console,
# so GetConsoleMode succeeds there and the texts must go out through WriteConsoleW. UTF-8 bytes
# written to a console would be read in its code page and come out garbled, which this catches.
#   console.sh EMULATOR PROGRAM
set -uo pipefail
emulator=$1
program=$2
export LC_ALL=C.UTF-8 # wine hands console text to the pty in the locale's character set
failed=0

# Runs the program on a pty; prints what appeared there, without terminal controls and CRs.
on_console() {
    local quoted
    quoted=$(printf '%q ' "$emulator" "$program" "$@")
    script -qec "$quoted" /dev/null </dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

check() { # name, text, expected line
    if grep -qxF -- "$3" <<<"$2"; then
        echo "PASS: $1"
    else
        echo "FAIL: $1: no line \"$3\" in:"
        echo "$2"
        failed=1
    fi
}

help=$(on_console --help)
status=$?
check "help on the console shows U+203A and the Vietnamese menu names" "$help" \
    "  1. In Vesk Studio turn on Tools › AI Connection (Công cụ › Kết nối AI)."
check "help on the console shows the Claude Desktop menu path" "$help" \
    "  Claude Desktop: Settings › Developer › Edit Config, then add to"
[ "$status" -eq 0 ] || { echo "FAIL: --help ended with $status"; failed=1; }

error=$(on_console "--bögus›")
status=$?
check "an option error on a console stderr is UTF-16 too" "$error" \
    "vesk-mcp: unknown option \"--bögus›\" (see --help)"
[ "$status" -eq 2 ] || { echo "FAIL: an unknown option ended with $status, not 2"; failed=1; }
exit $failed
