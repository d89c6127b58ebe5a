#!/usr/bin/env bash
# ostra-host's own share of the work against the real helper: exit statuses,
# failure reasons, file lists, tables, keep-awake and the command line.
# Usage: ostra_host_test.sh BUILD_DIR
set -uo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
HOST="$BUILD/ostra-host"
for program in ostra-native ostra-host; do
    [ -x "$BUILD/$program" ] || { echo "SKIP: $BUILD/$program is not built"; exit 77; }
done
WORK=$(mktemp -d)
OUT="$WORK/out" ERR="$WORK/err"
cleanup() {
    [ -n "${STRAY:-}" ] && [ -s "$STRAY" ] && kill "$(cat "$STRAY")" 2>/dev/null
    [ -n "${LOGIND_PID:-}" ] && kill "$LOGIND_PID" 2>/dev/null
    [ -n "${BUS_PID:-}" ] && kill "$BUS_PID" 2>/dev/null
    chmod -R u+rwx "$WORK" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# check NAME PYTHON_EXPR: must hold over `lines`, the JSON Lines of $OUT.
check() {
    python3 - "$OUT" "$2" <<'EOF' || fail "$1"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8") if l.strip()]
ok = eval(sys.argv[2])
if not ok:
    print("  got:", *(json.dumps(l)[:300] for l in lines), sep="\n    ", file=sys.stderr)
sys.exit(0 if ok else 1)
EOF
}

# t NAME STATUS STDERR_TEXT CHECK COMMAND...: the exit status, a text standard
# error holds ("-": it is empty, "": not checked) and a check over $OUT.
t() {
    local name=$1 want=$2 err=$3 expr=$4
    shift 4
    "$@" >"$OUT" 2>"$ERR"
    local rc=$?
    [ "$rc" -eq "$want" ] || fail "$name: exit status $rc, expected $want: $(head -c 300 "$ERR")"
    if [ "$err" = - ]; then
        [ -s "$ERR" ] && fail "$name wrote to standard error: $(head -c 200 "$ERR")"
    elif [ -n "$err" ]; then
        grep -qF -- "$err" "$ERR" || fail "$name: stderr lacks \"$err\": $(head -c 300 "$ERR")"
    fi
    [ -z "$expr" ] || check "$name" "$expr"
}

tone() {  # tone FILE FREQ SECONDS TITLE [ffmpeg options...]
    local file=$1 freq=$2 seconds=$3 title=$4
    shift 4
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=$freq:duration=$seconds" \
        -metadata title="$title" -metadata artist="Test Artist" -metadata track=1 "$@" "$file" ||
        fail "ffmpeg could not make $file"
}

LIB="$WORK/library"
mkdir -p "$LIB/sub"
tone "$LIB/first.mp3" 440 8 "First" -c:a libmp3lame -b:a 128k  # long enough for a fingerprint
tone "$LIB/second.m4a" 550 3 "Second" -c:a aac -b:a 96k
tone "$LIB/third.flac" 660 3 "Third" -c:a flac
cp "$LIB/first.mp3" "$LIB/sub/first copy.mp3"
echo "not audio" >"$LIB/notes.txt"
REPORT0="{'objectType': 'report', 'duplicateCount': 0, 'uniqueSongCount': 0, 'playlistCount': 0}"


t "scan" 0 - "sum(1 for l in lines if l.get('objectType') == 'song') == 3 and \
lines[-1] == {'objectType': 'report', 'duplicateCount': 1, 'uniqueSongCount': 3, 'playlistCount': 0}" \
    "$HOST" scan "$LIB" --ext mp3,m4a,flac --batch 2
# Extensions in any case, with or without the dot and blanks.
t "scan --ext" 0 "" "sum(1 for l in lines if l.get('path', '').endswith('.mp3')) == 2" \
    "$HOST" scan "$LIB" --ext " .Mp3 , flac"
t "scan matching nothing" 0 "warning: no file in $LIB has one of the extensions wma" "" \
    "$HOST" scan "$LIB" --ext wma
# Several folders: one request and one report each, each report naming its folder.
t "scan two folders table" 0 "" "" "$HOST" scan "$LIB/sub" "$LIB" --ext mp3,flac --format table
head -1 "$OUT" | grep -q '^objectType  *title  *artist' || fail "table header: $(head -1 "$OUT")"
grep -q '^song  *Third  *Test Artist' "$OUT" || fail "table lacks the row of Third"
[ "$(grep -c '^folder: ' "$OUT")" -eq 2 ] || fail "the table does not name each report's folder"
# The walk's error text does not say which folder; the message does.
t "scan missing dir" 1 "error for $WORK/no-such-dir: Problem occurred during file system scanning." \
    "lines[-1].get('uniqueSongCount') == 0" "$HOST" scan "$LIB/sub" "$WORK/no-such-dir"
t "itunes" 0 "" "lines == [{'libraries': []}, $REPORT0]" env HOME="$WORK" "$HOST" itunes

# --- per-file commands: exit status 0 only when every file succeeded ---

t "tags" 1 "2 of 4 files failed" "[l.get('title') for l in lines[:4]] == [None, 'First', 'Third', None] \
and lines[-1] == {'count': 2} and lines[0] == {'path': '$LIB/notes.txt', 'error': 'tags could not be \
read', 'reason': 'unsupported or damaged audio'} and lines[3]['reason'] == 'No such file or directory'" \
    "$HOST" tags "$LIB/notes.txt" "$LIB/first.mp3" "$LIB/third.flac" "$LIB/gone.mp3" --batch 1
t "hash" 1 "1 of 3 files failed" "len(lines[0]['hash']) == 40 and lines[1] == {'path': \
'$LIB/third.flac', 'error': \"error: couldn't get hash for file\", 'reason': 'unsupported or damaged \
audio'} and lines[-1] == {'count': 2}" "$HOST" hash "$LIB/first.mp3" "$LIB/third.flac" "$LIB/second.m4a"
t "hash all hashed" 0 - "" "$HOST" hash "$LIB/first.mp3" "$LIB/second.m4a"

# Why a file failed, as ostra-host finds it beside the helper's own text.
mkfifo "$WORK/pipe.mp3"
mkdir -p "$WORK/folder.mp3" "$WORK/blocked/song.wav"
cp "$LIB/third.flac" "$WORK/blocked/song.flac"
tone "$WORK/already.WAV" 440 1 "Wave" -f wav
tone "$WORK/short.mp3" 440 1 "Short" -c:a libmp3lame
while IFS='|' read -r command file reason; do
    t "$command $file" 1 "" "lines[0]['path'] == '$file' and lines[0]['reason'] == '$reason'" \
        "$HOST" "$command" "$file"
done <<EOF
hash|$WORK/gone.mp3|No such file or directory
hash|$WORK/folder.mp3|Is a directory
hash|$WORK/pipe.mp3|not a regular file
wav|$WORK/already.WAV|already a WAV file
wav|$WORK/blocked/song.flac|the WAV file cannot be written: Is a directory
fingerprint|$WORK/short.mp3|too short to fingerprint
EOF
# A file that may not be opened (root reads anything: copies run as nobody).
mkdir -p "$WORK/shared-bin" "$WORK/locked"
cp "$HOST" "$BUILD/ostra-native" "$WORK/shared-bin/"
cp "$LIB/first.mp3" "$WORK/locked/locked.mp3"
chmod 755 "$WORK" "$WORK/shared-bin" "$WORK/locked"
chmod 000 "$WORK/locked/locked.mp3"
t "hash as nobody" 1 "" "lines[0]['reason'] == 'Permission denied'" setpriv --reuid=nobody \
    --regid=nogroup --clear-groups "$WORK/shared-bin/ostra-host" hash "$WORK/locked/locked.mp3"

# An SDK error record stays whole in JSON and reads as one line in a table.
t "fingerprint" 1 "2 of 3 files failed" "set(lines[0]) == {'CMX', 'MICRO', 'path'} and \
lines[1]['reason'] == 'No such file or directory' and '\n\tSource File: ' in lines[2]['error'] \
and lines[2]['reason'] == 'unsupported or damaged audio' and lines[-1] == {'count': 1}" \
    "$HOST" fingerprint --types CMX,MICRO "$LIB/first.mp3" "$LIB/no-such.mp3" "$LIB/notes.txt"
t "fingerprint table" 1 "" "" "$HOST" fingerprint --format table "$LIB/notes.txt" "$LIB/first.mp3"
grep -q 'notes.txt  *failed to start decode (error [0-9a-f]*)  *unsupported or damaged audio$' "$OUT" &&
    [ "$(grep -c 'notes.txt' "$OUT")" -eq 1 ] && ! grep -q 'ERROR\|Source File' "$OUT" ||
    fail "the table's error line: $(cat "$OUT")"
t "fingerprint bad type" 1 'invalid algorithm specified: micro' "" \
    "$HOST" fingerprint --types micro "$LIB/first.mp3"
t "fingerprint without types" 2 "" "" "$HOST" fingerprint --types , "$LIB/first.mp3"

cp "$LIB/third.flac" "$WORK/convert me.flac"
t "wav" 1 "1 of 2 files failed" "lines[0] == {'path': '$WORK/convert me.flac', 'converted': True, \
'wav': '$WORK/convert me.wav'} and lines[1] == {'path': '$LIB/notes.txt', 'converted': False, \
'reason': 'unsupported or damaged audio'} and lines[-1] == {'filesConverted': 1, 'filesSkipped': 1}" \
    "$HOST" wav "$WORK/convert me.flac" "$LIB/notes.txt"
t "wav all converted" 0 "" "" "$HOST" wav "$WORK/convert me.flac"


# Names with a new line, a blank and a quote go through -0; a name that is
# not UTF-8 has U+FFFD in "path" and its bytes in "pathBytes"; empty entries
# and a last name without its NUL are fine.
ODD="$WORK/odd"
mkdir -p "$ODD"
cp "$LIB/first.mp3" "$ODD/line"$'\n'"break.mp3"
cp "$LIB/second.m4a" "$ODD/it's here.m4a"
cp "$LIB/first.mp3" "$ODD/caf"$'\xe9'".mp3"
printf '%s\0%s\0\0%s' "$ODD/line"$'\n'"break.mp3" "$ODD/caf"$'\xe9'".mp3" "$ODD/it's here.m4a" >"$WORK/list0"
t "hash --files-from - -0" 0 "" "[l.get('path') for l in lines] == ['$ODD/line\nbreak.mp3', \
'$ODD/caf\ufffd.mp3', \"$ODD/it's here.m4a\", None] and lines[-1] == {'count': 3} and 'pathBytes' not in \
lines[0] and __import__('base64').b64decode(lines[1]['pathBytes']) == b'$ODD/caf\xe9.mp3'" \
    sh -c "'$HOST' hash --batch 1 --files-from - -0 <'$WORK/list0'"
printf '%s\n\n%s\n' "$LIB/first.mp3" "$LIB/second.m4a" >"$WORK/list"
for command in tags hash fingerprint wav; do
    t "$command --files-from FILE" 0 "" "[l['path'] for l in lines if 'path' in l] == \
['$LIB/sub/first copy.mp3', '$LIB/first.mp3', '$LIB/second.m4a']" \
        "$HOST" "$command" "$LIB/sub/first copy.mp3" --files-from "$WORK/list"
done
# Lists that cannot be read, or are no lists of names, are usage errors.
head -c 5000 /dev/zero | tr '\0' x >"$WORK/one-long-line"
while IFS='|' read -r what message command; do
    t "--files-from $what" 2 "$message" "" sh -c "$command"
done <<EOF
a missing file|cannot read $WORK/no-list: No such file or directory|'$HOST' hash --files-from '$WORK/no-list'
a folder|cannot read $WORK/folder.mp3: Is a directory|'$HOST' hash --files-from '$WORK/folder.mp3'
an audio file|holds a NUL byte: NUL-separated names need -0|'$HOST' hash --files-from '$LIB/first.mp3'
a name past PATH_MAX|is longer than 4096 bytes|'$HOST' hash --files-from '$WORK/one-long-line' -0
a closed standard input|cannot read standard input: Bad file descriptor|exec <&-; '$HOST' hash --files-from -
and no files at all||'$HOST' hash
EOF
cp "$LIB/first.mp3" "$WORK/-dash.mp3"
t "arguments around --" 0 "" "[l.get('path') for l in lines] == ['$LIB/first.mp3', '-dash.mp3', None]" \
    sh -c "cd '$WORK' && '$HOST' hash --batch 1 '$LIB/first.mp3' -- -dash.mp3"
# More names than one request holds.
yes "$LIB/first.mp3" | head -1100 >"$WORK/long-list"
t "hash of 1100 files" 0 "" "len(lines) == 1101 and lines[-1] == {'count': 1100} and \
len({l['hash'] for l in lines[:-1]}) == 1" "$HOST" hash --files-from "$WORK/long-list" --batch 100


# A reader that goes away ends the run by SIGPIPE, not at its end for nobody.
"$HOST" hash --files-from "$WORK/long-list" --batch 1 | head -1 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 141 ] || fail "hash | head -1: exit status $rc, expected 141 (SIGPIPE)"
# A closed standard output too (where the helper's socket could take its number).
while IFS='|' read -r what redirect message; do
    t "output $what" 1 "write error: $message" "" sh -c "exec $redirect; '$HOST' fingerprint '$LIB/first.mp3'"
done <<'EOF'
to a full disk|>/dev/full|No space left on device
closed|>&-|Bad file descriptor
and input closed|<&- >&-|Bad file descriptor
EOF


# Files changed less than two seconds ago are not remembered.
changed=$(stat -c %Z "$LIB/first.mp3" "$LIB/third.flac" | sort -n | tail -1)
[ $(($(date +%s) - changed)) -ge 3 ] || sleep 3
CACHE="$WORK/file cache/cache.sqlite"
cached() { env OSTRA_CACHE="$CACHE" "$HOST" "$@"; }
t "tags into the cache" 0 "" "" cached tags "$LIB/first.mp3" "$LIB/third.flac"
t "hash into the cache" 0 "" "" cached hash "$LIB/first.mp3"
t "cache table" 0 "" "" cached --format table cache
grep -q 'cache.sqlite  *true  *[0-9][0-9]*  *3  *{"hash":1,"tags":2}$' "$OUT" ||
    fail "cache table: $(head -c 300 "$OUT")"
t "cache --clear" 0 "" "lines[0]['exists'] and lines[0]['entries'] == 0 and lines[0]['kinds'] == {}" \
    cached cache --clear
t "cache under XDG_CACHE_HOME" 0 "" "lines[0]['path'] == '$WORK/xdg/ostra-native/cache.sqlite' \
and not lines[0]['exists']" env -u OSTRA_CACHE XDG_CACHE_HOME="$WORK/xdg" "$HOST" cache
t "cache turned off" 0 "" "lines == [{'path': None, 'enabled': False, 'reason': 'OSTRA_CACHE=off'}]" \
    env OSTRA_CACHE=off "$HOST" cache
# A file of another kind at the path is reported and left alone, even by --clear.
echo "not a cache" >"$WORK/other.sqlite"
t "cache --clear on another file" 1 "$WORK/other.sqlite: " "" \
    env OSTRA_CACHE="$WORK/other.sqlite" "$HOST" cache --clear
[ "$(cat "$WORK/other.sqlite")" = "not a cache" ] || fail "cache --clear changed another file"


NOBUS=unix:path=/nonexistent/ostra-no-bus
awake() { env DBUS_SYSTEM_BUS_ADDRESS="${SYSTEM_BUS:-$NOBUS}" DBUS_SESSION_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake "$@"; }
# Without any bus: a warning that says why, and the command runs all the same.
t "keep-awake without bus" 7 "no system bus at $NOBUS (No such file or directory)" "" \
    awake -- sh -c 'echo running; exit 7'
grep -qx 'running' "$OUT" && grep -q "warning: sleep could not be prevented" "$ERR" &&
    grep -q "no session bus at $NOBUS" "$ERR" || fail "keep-awake without bus: $(cat "$ERR")"
t "keep-awake --require without bus" 1 "" "" awake --require -- sh -c 'echo running'
grep -q 'running' "$OUT" && fail "keep-awake --require ran the command"
t "keep-awake flags before the command" 3 "" "" awake --helper /no/such/helper sh -c 'exit 0'
t "keep-awake command's descriptors" 0 "" "" \
    awake sh -c 'for fd in /proc/$$/fd/*; do readlink "$fd"; done; exit 0'
grep -q 'socket:' "$OUT" && fail "keep-awake's command holds a socket of ostra-host: $(cat "$OUT")"
# The command gets the signals' usual actions: a writer whose reader is gone ends by SIGPIPE.
t "keep-awake command in a pipeline" 141 "" "" awake bash -c 'yes | head -1 >/dev/null; exit "${PIPESTATUS[0]}"'
t "keep-awake missing command" 127 "" "" awake -- /no/such/program
t "keep-awake command that cannot run" 126 "" "" awake -- "$LIB/notes.txt"

# SIGTERM to ostra-host reaches the command, and ostra-host waits for it.
STRAY="$WORK/child.pid"
# (Not through the function: the signal goes to ostra-host's own process.)
env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" DBUS_SESSION_BUS_ADDRESS="$NOBUS" "$HOST" keep-awake -- \
    sh -c 'echo $$ >"$1"; trap "echo terminated >\"$2\"; exit 9" TERM; while :; do sleep 0.1; done' \
    sh "$STRAY" "$WORK/terminated" >/dev/null 2>&1 &
host_pid=$!
for _ in $(seq 100); do [ -s "$STRAY" ] && break; sleep 0.1; done
kill -TERM "$host_pid"
wait "$host_pid"
rc=$?
[ "$rc" -eq 9 ] || fail "keep-awake after SIGTERM: exit status $rc, expected the command's 9"
[ -s "$WORK/terminated" ] || fail "SIGTERM did not reach the command"
kill -0 "$(cat "$STRAY")" 2>/dev/null && fail "the command still runs after keep-awake ended"

# Against a private bus: first without logind, then with a logind stand-in that
# hands out inhibitor locks.
BUSDIR="$WORK/bus"
mkdir -p "$BUSDIR"
SYSTEM_BUS="unix:path=$BUSDIR/socket"
cat >"$BUSDIR/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>$SYSTEM_BUS</listen><auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
/usr/bin/dbus-daemon --nofork --config-file="$BUSDIR/bus.conf" >"$BUSDIR/daemon.log" 2>&1 &
BUS_PID=$!
for _ in $(seq 100); do [ -S "$BUSDIR/socket" ] && break; sleep 0.1; done
t "keep-awake without logind" 0 "no logind on the system bus" "" awake true
DBUS_SYSTEM_BUS_ADDRESS=$SYSTEM_BUS /usr/bin/python3 -m dbusmock --system --template logind \
    >"$BUSDIR/logind.log" 2>&1 &
LOGIND_PID=$!
inhibitors() {
    busctl --address="$SYSTEM_BUS" call org.freedesktop.login1 /org/freedesktop/login1 \
        org.freedesktop.login1.Manager ListInhibitors 2>/dev/null
}
for _ in $(seq 200); do
    inhibitors >/dev/null && break
    sleep 0.1
done
export -f inhibitors
export SYSTEM_BUS
t "keep-awake" 7 "" "" awake --require -- bash -c 'echo "during: $(inhibitors)"; exit 7'
grep -q '^during: a(ssssuu) 1 ' "$OUT" || fail "no inhibitor lock while the command ran: $(cat "$OUT")"
[ "$(inhibitors)" = "a(ssssuu) 0" ] || fail "inhibitor lock still held after keep-awake: $(inhibitors)"
unset SYSTEM_BUS

while IFS='|' read -r status expr words; do
    eval "args=($words)"
    t "ostra-host $words" "$status" "" "$expr" "$HOST" "${args[@]}"
done <<'EOF'
0|lines == [{'data': '12', 'done': True, 'duration': lines[0]['duration'], 'id': 1}]|raw version
0|lines[0]['data'] == '12'|version
0|lines[0]['data'] == {'hello': 'world', 'list': [1, 2]}|echo '{"hello": "world", "list": [1, 2]}'
1|lines[0]['data'] == 'Error: Unknown command "noSuchCommand"'|raw noSuchCommand
0|lines[0] == {'extension': 'mp3'} and {'extension': 'flac'} in lines|extensions
0|len(lines) == 1 and lines[0]['osType'] == 'linux' and lines[0]['cpuCores'] >= 1|sysinfo
0|len(lines) == 1 and len(lines[0]['deviceId']) == 40|device-id
2||scan
2||raw echo '{not json'
2||--format xml version
2||
EOF
t "mistyped scna" 2 'unknown subcommand "scna", did you mean scan?' "" "$HOST" scna "$LIB"
t "mistyped audiohash" 2 'did you mean audioHash?' "" "$HOST" audiohash
# Global flags before or after the subcommand.
t "flags after" 0 "" "" "$HOST" wav "$WORK/convert me.flac" --format table --no-progress -v --helper "$BUILD/ostra-native"
t "flags before" 0 "" "" "$HOST" --format=table --no-progress --verbose --helper="$BUILD/ostra-native" raw version

# Tables align by display width (a wide character takes two columns), send the
# terminal no control character, and show bytes that are not UTF-8 as U+FFFD.
tone "$WORK/wide.mp3" 440 1 "日本語のタイトル" -c:a libmp3lame
tone "$WORK/escape.mp3" 440 1 $'evil\e[2J\e]0;title\ax' -c:a libmp3lame
cp "$WORK/wide.mp3" "$WORK/caf"$'\xe9'".mp3"
t "tags table" 0 "" "" "$HOST" --format table tags "$WORK/wide.mp3" "$WORK/escape.mp3" "$WORK/caf"$'\xe9'".mp3"
python3 - "$OUT" <<'EOF' || fail "the table is not aligned or passes controls on: $(cat -v "$OUT")"
import sys, unicodedata
text = open(sys.argv[1], "rb").read().decode("utf-8")  # raises on bytes that are not UTF-8
width = lambda s: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in s)
lines = text.splitlines()
rows = [l for l in lines[2:] if "Test Artist" in l]
sys.exit(0 if len(rows) == 3 and all(width(l[:l.index("Test Artist")]) == lines[0].index("artist")
         for l in rows) and not any(ord(c) < 32 and c != "\n" for c in text)
         and "evil?[2J?]0;title?x" in text and "caf\ufffd.mp3" in text else 1)
EOF


coproc TAKEN { python3 -c 'import socket, sys; s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); sys.stdin.read()'; }
read -r taken <&"${TAKEN[0]}"
t "--port taken" 3 "cannot listen on 127.0.0.1:$taken (Address already in use)" "" "$HOST" --port "$taken" version
kill "$TAKEN_PID" 2>/dev/null
t "missing helper" 3 "/no/such/helper cannot be run: No such file or directory" "" \
    "$HOST" --helper /no/such/helper version
t "helper that exits" 3 "" "" "$HOST" --helper /bin/false sysinfo
# Alone in a folder, ostra-host finds the helper on PATH, or says where it looked.
mkdir -p "$WORK/bin" "$WORK/elsewhere"
cp "$HOST" "$WORK/bin/ostra-host"
t "helper on PATH" 0 "" "lines[0]['data'] == '12'" \
    env PATH="$WORK/elsewhere:$BUILD:/usr/bin:/bin" "$WORK/bin/ostra-host" version
t "helper named, on PATH" 0 "" "" env PATH="$BUILD:/usr/bin:/bin" "$WORK/bin/ostra-host" --helper ostra-native version
t "helper nowhere" 3 "ostra-native not found (tried $WORK/bin/ostra-native, $WORK/elsewhere/ostra-native, \
/usr/bin/ostra-native)" "" env PATH="$WORK/elsewhere:/usr/bin" "$WORK/bin/ostra-host" version
t "helper from OSTRA_NATIVE" 0 "" "" env PATH=/usr/bin OSTRA_NATIVE="$BUILD/ostra-native" "$WORK/bin/ostra-host" version

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all ostra-host checks passed"
