#!/usr/bin/env bash
# mutants.sh - plants known faults in a copy of the sources, one at a time, and checks that the
# test suite catches each: builds the copy (one Ninja build directory, incremental), runs ctest
# (without the layout check) and counts a failing run as caught.
#
#   scripts/mutants.sh [--dir DIR] [--timeout S] [--list] [--check] [name-part...]
#
#   --dir DIR      the copy and its build (default build-mutants/ in the worktree)
#   --timeout S    ctest's time-out per test program (default 120)
#   --list         print the faults and exit
#   --check        only tell which faults no longer find their text (stale) and exit
#   name-part      run only the faults whose name contains one of the parts given
#
# Each fault is (name, file, exact text, replacement). The text must occur exactly once in the
# file; when it does not (the code changed), the fault is reported as stale, not as caught.
# Prints "N caught, M missed" (and the stale ones) at the end; exits 1 when a fault was missed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir="$root/build-mutants"
timeout=120
list=0
check=0
patterns=()
while [[ $# -gt 0 ]]; do
    case "$1" in
    --dir) dir=$(realpath -m "$2"); shift 2 ;;
    --timeout) timeout="$2"; shift 2 ;;
    --list) list=1; shift ;;
    --check) check=1; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "mutants: unknown option $1" >&2; exit 2 ;;
    *) patterns+=("$1"); shift ;;
    esac
done

names=() files=() finds=() replaces=()
m() { names+=("$1"); files+=("$2"); finds+=("$3"); replaces+=("$4"); }

# app/
m "an option error exits with 1 instead of 2" app/main.cpp 'return 2;' 'return 1;'
m "output is never flushed between turns" app/main.cpp 'server->setOutputFlush(flushStdout);' ''
m "a timeout of exactly one day is refused" app/options.cpp 'seconds <= 86400' 'seconds < 86400'
m "a negative poll interval is accepted" app/options.cpp 'ms < 0)' 'ms < -1)'
m "VESK_MCP_VERBOSE turns on for any value but 0" app/options.cpp \
    '== QLatin1String("1");' '!= QLatin1String("0");'
m "the help states a wrong default time-out" app/options.cpp 'defaultCallTimeoutMs / 1000' 'defaultCallTimeoutMs / 100'
m "the default time-out is 12 s" app/options.h 'defaultCallTimeoutMs = 120000;' 'defaultCallTimeoutMs = 12000;'
m "the pipe name keeps 63 characters of the account" app/pipename.cpp 'left(64)' 'left(63)'
m "a dot in the account name is kept" app/pipename.cpp "|| u == '-'" "|| u == '-' || u == '.'"
# io/
m "a line of exactly the limit is refused (off by one)" io/linecutter.cpp \
    'if (length > maxLine) {' 'if (length >= maxLine) {'
m "a partial line of exactly the limit is dropped" io/linecutter.cpp \
    'if (buffer.size() > maxLine) {' 'if (buffer.size() >= maxLine) {'
m "CR LF keeps its CR" io/linecutter.cpp "begin[p - 1] == '\\r'" "begin[p - 1] == '\\t'"
m "the unterminated last line keeps its CR" io/linecutter.cpp "rest.endsWith('\\r')" "rest.endsWith('\\t')"
m "a line over the stdin limit is not rejected" io/stdio.cpp 's->rejectTooLarge();' '(void)s;'
m "the grace period after the end of input is 30 ms" io/stdio.cpp 'int graceMs = 3000;' 'int graceMs = 30;'
m "a message to the client loses its line end" io/stdio.cpp \
    "message.size()) || std::fputc('\\n', stdout) == EOF)" 'message.size()))'
m "a passed-through answer loses its closing brace" io/stdio.cpp '|| !put(tail.constData(), tail.size())' ''
m "a failed write to stdout does not make the exit code 1" io/stdio.cpp \
    'stdoutFailed = true;' 'stdoutFailed = false;'
m "the log shows 601 bytes of a message" io/stdio.cpp 'logLimit = 600;' 'logLimit = 601;'
m "a peer's control characters reach the log" io/stdio.cpp \
    'prefix + escapeControls(text).toUtf8()' 'prefix + text.toUtf8()'
m "a peer's long name reaches the log whole" io/stdio.cpp 'return field.size() <= logLimit / 3 ?' 'return true ?'
m "stdin is read whatever waits for the main thread" io/stdio.cpp 'backlog->waitForRoom();' ''
m "a broken stdout kills the program with SIGPIPE" io/nativeio_unix.cpp 'SIGPIPE, SIG_IGN' 'SIGPIPE, SIG_DFL'
m "a failed stdout write reports on stderr unguarded" io/stdio.cpp \
    'McpServer::log(QStringLiteral("cannot write to stdout, exiting"));' \
    'std::fputs("vesk-mcp: cannot write to stdout, exiting\\n", stderr);'
m "the log shortens a message of exactly 600 bytes" io/stdio.cpp \
    'if (bytes.size() <= logLimit)' 'if (bytes.size() < logLimit)'
m "the stdin backlog counts only the bytes of lines" io/stdio.cpp \
    'bytes += line.size() + lineOverhead;' 'bytes += line.size();'
m "SIGTERM kills the program" io/nativeio_unix.cpp '::sigaction(SIGTERM, &action, nullptr);' ''
m "a line over twice the limit gets a second rejection" io/linecutter.cpp \
    'tooLong = tooLong || !skipping;' 'tooLong = true;'
m "a large line buffer is kept after the message" io/linecutter.cpp \
    'if (!holdsLargeBuffer())' 'if (true)'
# mcp/
m "the account check accepts any server uid" mcp/peeraccount_unix.cpp \
    'return std::to_string(peerUid);' 'return std::to_string(::geteuid());'
m "the account check accepts a different identifier" mcp/accountcheck.cpp \
    '|| serverSid != ownSid)' ')'
m "a server process that cannot be opened is accepted" mcp/accountcheck.cpp \
    'if (process == 0)' 'if (false)'
m "a server process that cannot be identified is accepted" mcp/accountcheck.cpp \
    'if (pid == 0)' 'if (false)'
m "an unparsable line gets -32600 instead of -32700" mcp/jsonrpc.cpp \
    'ParseError,
                               QStringLiteral("Parse error: ")' 'InvalidRequest, QStringLiteral("Parse error: ")'
m "an empty batch gets no answer" mcp/jsonrpc.cpp 'if (batch.isEmpty()) {' 'if (false) {'
m "a batch is answered out of order" mcp/jsonrpc.cpp \
    'state->responses.append(state->responses.isEmpty() ? '"'"'['"'"' : '"'"','"'"');
            state->responses.append(' \
    'if (state->responses.isEmpty()) state->responses = "["; else state->responses.insert(1, '"'"','"'"'); state->responses.insert(1, '
m "a batch of more than 10000 members is answered" mcp/jsonrpc.cpp "startsWith('[') && moreMembersThan" "startsWith('[') && false && moreMembersThan"
m "a long line waits for the answers before it" mcp/jsonrpc.cpp 'if (line.size() > longLine)' 'if (false)'
m "a notification without jsonrpc 2.0 is handled" mcp/jsonrpc.cpp \
    'if (version2 && method.isString()' 'if (method.isString()'
m "a string id and a number id share a key" mcp/jsonrpc.cpp \
    'QStringLiteral("s:") + id.toString()' 'QStringLiteral("n:") + id.toString()'
m "an error drops its data member" mcp/jsonrpc.cpp \
    'if (!data.isUndefined() && !data.isNull())' 'if (false)'
m "a byte-order mark is only partly removed" mcp/jsonrpc.cpp 'line.remove(0, 3);' 'line.remove(0, 2);'
m "an unknown method gets -32600 instead of -32601" mcp/initialize.cpp \
    'reply(makeError(id, MethodNotFound,' 'reply(makeError(id, InvalidRequest,'
m "an unknown protocol version gets the oldest" mcp/initialize.cpp \
    ': versions.first();' ': versions.last();'
m "the client's cancellation is dropped" mcp/initialize.cpp \
    'QLatin1String("notifications/cancelled")) {' 'QLatin1String("notifications/canceled")) {'
m "initialized does not start the connection" mcp/initialize.cpp \
    'whenConnected([](bool) {});' ''
m "an empty tool name is relayed" mcp/tools.cpp \
    'if (!name.isString() || name.toString().isEmpty()) {' 'if (!name.isString()) {'
m "the offline status answer is a tool error" mcp/tools.cpp \
    'toolResult(notConnectedText(), false)' 'toolResult(notConnectedText(), true)'
m "the status tool is appended to later pages too" mcp/tools.cpp 'if (firstPage) {' 'if (true) {'
m "a change of reachability sends no list_changed" mcp/tools.cpp \
    '&& !listChangedPending) {' '&& false) {'
m "Vesk Studio's list_changed is not passed on" mcp/tools.cpp \
    $'    notify(listChangedMethod);\n    listChangedPending = true;' '    listChangedPending = true;'
m "the answer carries Vesk Studio's id instead of the client's" mcp/relay.cpp \
    'deliver(entry, makeResult(clientId, result));' 'deliver(entry, makeResult(appId, result));'
m "a progress notification is lost" mcp/relay.cpp \
    '            notify(method, params);' '            (void)0;'
m "an error without a numeric code gets -32000" mcp/relay.cpp \
    'code.toInt() : InternalError' 'code.toInt() : -32000'
m "a time-out never fires" mcp/relay.cpp \
    'callTimer.start(int(std::max<qint64>(left, 0)));' 'callTimer.start(int(std::max<qint64>(left, 0)) + 3600000);'
m "the time-out in seconds rounds down" mcp/relay.cpp '+ 999) / 1000' '+ 998) / 1000'
m "a cursor page counts as the first page" mcp/relay.cpp \
    '!request.params.contains(QLatin1String("cursor")),' 'true,'
m "a timed-out request is not cancelled in Vesk Studio" mcp/relay.cpp \
    '{QLatin1String("reason"), QLatin1String("timeout")}' '{QLatin1String("reason"), QLatin1String("time-out")}'
m "no retry while Vesk Studio is unreachable" mcp/link.cpp 'pollTimer.start(pollMs);' '(void)0;'
m "a call lost with the connection is not a tool error" mcp/link.cpp \
    'toolResult(closedText(entry.toolName), true)' 'toolResult(closedText(entry.toolName), false)'
m "a Vesk Studio that stops reading is waited for" mcp/link.cpp \
    'if (socket && connected && socket->bytesToWrite() > 0)' 'if (false)'
m "the bounds are coarse timers" mcp/jsonrpc.cpp \
    'timer->setTimerType(Qt::PreciseTimer);' 'timer->setTimerType(Qt::CoarseTimer);'
m "a symbolic link to the socket is accepted" mcp/peeraccount_unix.cpp \
    'return PipePath::SymbolicLink;' 'return PipePath::Usable;'
m "the call timer is armed for the latest deadline" mcp/relay.cpp \
    'pending.begin()->second.deadline - callClock.elapsed()' 'pending.rbegin()->second.deadline - callClock.elapsed()'
m "what waiting calls hold has no bound" mcp/relay.cpp \
    'if (heldBytes + unsentToApp() > maxHeldBytes) {' 'if (false) {'
m "a request waiting for a connection at the end is not counted" mcp/relay.cpp \
    'waiting += std::exchange(*held, nullptr) ? 1 : 0;' 'waiting += std::exchange(*held, nullptr) ? 0 : 0;'
m "the end of input leaves Vesk Studio working" mcp/relay.cpp \
    '    for (const auto &[appId, entry] : sent)
        sendToApp(' '    for (const auto &[appId, entry] : sent)
        if (false) sendToApp('
m "a call cancelled while it waits for the connection is sent" mcp/relay.cpp \
    'const auto waiting = unsent.find(clientId);' 'const auto waiting = unsent.end();'
m "a connection attempt takes ten times its time-out" mcp/link.cpp \
    'connectTimer.start(connectTimeoutMs);' 'connectTimer.start(connectTimeoutMs * 10);'
m "a too large message from Vesk Studio keeps the connection" mcp/link.cpp \
    'closeConnection(QStringLiteral("message from Vesk Studio too large"));' '(void)0;'
m "a batch member's answer is passed through as a line" mcp/relay.cpp \
    '!it->second.ownLine || ' ''
m "integers beyond 64 bits are passed through as written" mcp/canonicaljson.cpp \
    'return n.point - n.integer <= 18 &&' 'return n.point - n.integer <= 20 &&'
m "duplicate keys are passed through" mcp/canonicaljson.cpp \
    'return false; // a duplicate key' 'continue; // a duplicate key'
m "minus zero is passed through" mcp/canonicaljson.cpp \
    '&& (*n.integer != '"'"'0'"'"' || first == n.integer);' ';'
m "a number of 16 to 19 digits is passed through unchecked" mcp/canonicaljson.cpp \
    '&& writtenShortest(significand(n, end), n.exponent - n.point - 1)));' '));'
m "a string next to numbers written with spaces loses its own spaces" mcp/canonicaljson.h \
    'out.back().tokens = false; // it may hold a string now' '// it may hold a string now'
m "a stretch of numbers squeezed 16 bytes at a time drops a byte after a blank" mcp/canonicaljson.cpp \
    'const int run = __builtin_ctz((blank >> at) | (0x10000u >> at));' 'const int run = __builtin_ctz((blank >> at) | (0x10000u >> at)) + (at == 3);'
m "a tie of the decimal and the exponent form is written as an exponent" mcp/canonicaljson.cpp \
    'if (point <= 0 && 2 - point + count <= exponentForm) {' 'if (point <= 0 && 2 - point + count < exponentForm) {'
m "the digits one shorter are not looked for" mcp/canonicaljson.cpp \
    '&& qint64(last << capped) > halfGap + difference' ''
m "a stretch of numbers taken whole keeps the white space after its commas" mcp/canonicaljson.cpp \
    'const qsizetype size = run.to - run.from - run.blanks;' 'const qsizetype size = run.to - run.from;'
m "a list of numbers counts no white space before a number looked at alone" mcp/canonicaljson.cpp \
    'spaces += gap;
            gap = 0;' 'gap = 0;'
m "a list of numbers counts no white space between the numbers of a window" mcp/canonicaljson.cpp \
    'spaces += gap + bitCount(m.blanks & bitsFrom(t) & bitsBelow(lastEnd));' 'spaces += gap;'
m "a list of numbers takes a zero at the end of a fraction" mcp/canonicaljson.cpp \
    '| ((fractionEnds >> 1) & m.zeros)' ''
m "a list of numbers takes a second point" mcp/canonicaljson.cpp \
    '(fractionEnds & m.points) |' ''
m "a list of numbers takes an exponent of three digits" mcp/canonicaljson.cpp \
    '| ((m.es << 4) & token)' ''
m "a list of numbers takes an exponent after two digits" mcp/canonicaljson.cpp \
    '(token & ~(token + noExponent) & m.es)' '0'
m "a list of numbers takes 0.0001, which Qt writes 1e-04" mcp/canonicaljson.cpp \
    '(zeroPointZeros & (m.digits >> 5) & ~(token >> 6))' '0'
m "a list of numbers takes -0" mcp/canonicaljson.cpp \
    '(((starts & m.minus) << 1) & m.zeros & ~(token >> 1))' '0'
m "a list of numbers takes numbers of 17 bytes or more unread" mcp/canonicaljson.cpp \
    'for (quint64 longStarts = (lengthy & ~(lengthy << 1)) >> 16; longStarts;' 'for (quint64 longStarts = 0; longStarts;'
m "a long decimal is not checked for the shortest digits" mcp/canonicaljson.cpp \
    'return writtenShortest(sixteenDigits(first16) * scale[rest] + tail, fraction);' 'return sixteenDigits(first16) + tail + fraction > 0;'
m "the 256-bit masks read the first half twice" mcp/canonicaljson.cpp \
    'reinterpret_cast<const __m256i *>(at + 32)' 'reinterpret_cast<const __m256i *>(at)'
m "blanks squeezed 64 bytes at a time are kept" mcp/canonicaljson.cpp \
    '_mm512_cmpgt_epu8_mask(bytes, blank)' '_mm512_cmpge_epu8_mask(bytes, blank)'
m "the 512-bit masks find no zero" mcp/canonicaljson.cpp \
    "zeros = equalBytes(bytes, '0');" "zeros = equalBytes(bytes, 'o');"
m "a stretch of numbers taken whole is joined across the gap before it without dropping it" mcp/canonicaljson.cpp \
    'last.dropped += qint32(gap + run.blanks);' 'last.dropped += qint32(run.blanks);'
m "the second half of a stretch squeezed on two threads is not moved behind the first" mcp/canonicaljson.cpp \
    'std::memmove(firstEnd, half, size_t(secondEnd - half));' '(void)secondEnd;'
m "a U+FEFF opening a text from Vesk Studio is dropped" mcp/canonicaljson.cpp \
    'if (!text.contains(mark))' 'if (true)'

count=${#names[@]}
if [[ $list -eq 1 ]]; then
    for ((i = 0; i < count; i++)); do printf '%-26s %s\n' "${files[i]}" "${names[i]}"; done
    echo "$count faults"
    exit 0
fi

# Replaces the one occurrence of FIND in the file by REPLACE; exit 3 when FIND is not there
# exactly once.
plant() {
    FIND="$2" REPLACE="$3" perl -0777 -ne '
        my ($f, $r) = ($ENV{FIND}, $ENV{REPLACE});
        my $n = () = /\Q$f\E/g;
        exit 3 if $n != 1;
        s/\Q$f\E/$r/;
        print;' "$1" >"$1.planted" || { rm -f "$1.planted"; return 3; }
    mv "$1.planted" "$1"
}

occurrences() {
    FIND="$2" perl -0777 -ne 'my $f = $ENV{FIND}; my $n = () = /\Q$f\E/g; print $n' "$1"
}

stale=()
if [[ $check -eq 1 ]]; then
    for ((i = 0; i < count; i++)); do
        n=$(occurrences "$root/${files[i]}" "${finds[i]}")
        [[ $n -eq 1 ]] || stale+=("${names[i]} (${files[i]}: text found $n times)")
    done
    [[ ${#stale[@]} -eq 0 ]] || printf 'stale: %s\n' "${stale[@]}"
    echo "$((count - ${#stale[@]})) of $count faults find their text"
    exit 0
fi

# The copy: the tracked files of the worktree as they are now, built once unmutated.
src="$dir/src"
build="$dir/build"
mkdir -p "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard) \
    | (cd "$root" && tar --null -T - -cf -) | tar -xf - -C "$src"
# A run stopped while a fault was planted left its object files behind: the restored copy is
# older than they are, so it is marked as changed.
[[ -f "$dir/planted" ]] && touch "$src/$(cat "$dir/planted")" && rm "$dir/planted"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -G Ninja -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
echo "== building the unmutated copy"
ninja -C "$build" -j2 >/dev/null
runsuite() {
    ctest --test-dir "$build" -j2 -E '^format$' --timeout "$timeout" --stop-on-failure \
        >"$dir/last.log" 2>&1
}
echo "== the suite passes without a fault"
runsuite || { echo "mutants: the suite fails without any fault; see $dir/last.log" >&2; exit 1; }

caught=() missed=()
start=$SECONDS
for ((i = 0; i < count; i++)); do
    name=${names[i]} file=${files[i]}
    chosen=$((${#patterns[@]} == 0))
    for part in "${patterns[@]}"; do [[ "$name" == *"$part"* ]] && chosen=1; done
    [[ $chosen -eq 1 ]] || continue
    cp -p "$src/$file" "$src/$file.orig"
    echo "$file" >"$dir/planted"
    if ! plant "$src/$file" "${finds[i]}" "${replaces[i]}"; then
        stale+=("$name ($file)")
        mv "$src/$file.orig" "$src/$file"
        echo "stale   $name"
        continue
    fi
    t0=$SECONDS
    if ! ninja -C "$build" -j2 >"$dir/last-build.log" 2>&1; then
        result="stale" # the planted text no longer compiles where it is
        stale+=("$name ($file: does not build)")
    elif runsuite; then
        result="MISSED"
        missed+=("$name ($file)")
    else
        result="caught"
        caught+=("$name: $(grep -oE '[0-9]+ - [a-z_]+' "$dir/last.log" | head -3 | sed 's/^[0-9]* - //' | paste -sd, -)")
    fi
    # Restored with a new time stamp, so that the next build compiles it again.
    mv "$src/$file.orig" "$src/$file"
    touch "$src/$file"
    printf '%-7s %s (%d s)\n' "$result" "$name" $((SECONDS - t0))
done
ninja -C "$build" -j2 >/dev/null && rm -f "$dir/planted"

echo
echo "== caught by"
printf '   %s\n' "${caught[@]}"
[[ ${#stale[@]} -eq 0 ]] || { echo "== stale (text not found once, or not building)"; printf '   %s\n' "${stale[@]}"; }
[[ ${#missed[@]} -eq 0 ]] || { echo "== missed"; printf '   %s\n' "${missed[@]}"; }
echo "mutants: ${#caught[@]} caught, ${#missed[@]} missed, ${#stale[@]} stale in $((SECONDS - start)) s"
[[ ${#missed[@]} -eq 0 ]]
