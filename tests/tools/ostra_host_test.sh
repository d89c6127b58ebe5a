#!/usr/bin/env bash
# Drives ostra-host as a user would: every subcommand against the real helper
# on audio generated with ffmpeg, JSON Lines parsed back, the table spot-checked,
# exit codes, and the progress line only on a terminal.
# Usage: ostra_host_test.sh BUILD_DIR
set -uo pipefail
BUILD=$(cd "${1:?build folder}" && pwd)
HOST="$BUILD/ostra-host"
# A build folder that did not build both programs (the TSan run builds only
# what it tests) skips this test.
for program in ostra-native ostra-host; do
    [ -x "$BUILD/$program" ] || { echo "SKIP: $BUILD/$program is not built"; exit 77; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# check NAME PYTHON_EXPR FILE: the expression over `lines` (parsed JSON Lines) must hold.
check() {
    local name=$1 expr=$2 file=$3
    if ! python3 - "$file" "$expr" <<'EOF'; then
import json, sys
path, expr = sys.argv[1], sys.argv[2]
lines = [json.loads(l) for l in open(path, encoding="utf-8") if l.strip()]
ok = eval(expr)
if not ok:
    print("  got:", *(json.dumps(l)[:300] for l in lines), sep="\n    ", file=sys.stderr)
sys.exit(0 if ok else 1)
EOF
        fail "$name"
    fi
}

# expect_rc NAME WANT COMMAND...: runs the command, stdout to $WORK/out, stderr to $WORK/err.
expect_rc() {
    local name=$1 want=$2
    shift 2
    "$@" >"$WORK/out" 2>"$WORK/err"
    local rc=$?
    if [ "$rc" -ne "$want" ]; then
        fail "$name: exit status $rc, expected $want"
        sed 's/^/  stderr: /' "$WORK/err" | head -5 >&2
    fi
}

tone() {  # tone FILE FREQ SECONDS TITLE [ffmpeg options...]
    local file=$1 freq=$2 seconds=$3 title=$4
    shift 4
    ffmpeg -nostdin -v error -y -f lavfi -i "sine=frequency=$freq:duration=$seconds" \
        -metadata title="$title" -metadata artist="Test Artist" -metadata album="Test Album" \
        -metadata track=1 "$@" "$file" || fail "ffmpeg could not make $file"
}

LIB="$WORK/library"
mkdir -p "$LIB/sub"
# Long enough for a fingerprint.
tone "$LIB/first.mp3" 440 8 "First" -c:a libmp3lame -b:a 128k
tone "$LIB/second.m4a" 550 3 "Second" -c:a aac -b:a 96k
tone "$LIB/third.flac" 660 3 "Third" -c:a flac
tone "$LIB/fourth.ogg" 770 3 "Fourth" -c:a libvorbis
cp "$LIB/first.mp3" "$LIB/sub/first copy.mp3"
echo "not audio" >"$LIB/notes.txt"

# Scan: four songs, one duplicate notice, the report last.
expect_rc "scan" 0 "$HOST" scan "$LIB" --ext mp3,m4a,flac,ogg --batch 2
cp "$WORK/out" "$WORK/scan.jsonl"
check "scan songs" "sum(1 for l in lines if l.get('objectType') == 'song') == 4" "$WORK/scan.jsonl"
check "scan duplicate" "[l['type'] for l in lines if l.get('objectType') == 'duplicate'] == ['id'] or \
[l['type'] for l in lines if l.get('objectType') == 'duplicate'] == ['artistMDK']" "$WORK/scan.jsonl"
check "scan report" "lines[-1] == {'objectType': 'report', 'duplicateCount': 1, 'uniqueSongCount': 4, \
'playlistCount': 0}" "$WORK/scan.jsonl"
grep -q $'\r' "$WORK/err" && fail "progress line drawn although standard error is not a terminal"
[ -s "$WORK/err" ] && fail "scan wrote to standard error: $(head -c 200 "$WORK/err")"

# The same scan as a table.
expect_rc "scan table" 0 "$HOST" --format table scan "$LIB" --ext mp3,m4a,flac,ogg
head -1 "$WORK/out" | grep -q '^objectType  *title  *artist' || fail "table header: $(head -1 "$WORK/out")"
grep -q '^uniqueSongCount: 4$' "$WORK/out" || fail "table summary lacks uniqueSongCount: 4"
grep -q '^song  *Third  *Test Artist' "$WORK/out" || fail "table lacks the row of Third"

# A missing directory: the error response, then still the report; exit 1.
expect_rc "scan missing dir" 1 "$HOST" scan "$WORK/no-such-dir"
grep -q 'Problem occurred during file system scanning.' "$WORK/err" || fail "scan error not shown"
check "scan missing dir report" "lines[-1].get('uniqueSongCount') == 0" "$WORK/out"

# The iTunes library scan on a home without a library: an empty list, then the report.
expect_rc "itunes" 0 env HOME="$WORK" "$HOST" itunes
check "itunes" "lines == [{'libraries': []}, {'objectType': 'report', 'duplicateCount': 0, \
'uniqueSongCount': 0, 'playlistCount': 0}]" "$WORK/out"

# Tags: one record per file, the unreadable one named by the tool.
expect_rc "tags" 0 "$HOST" tags "$LIB/first.mp3" "$LIB/third.flac" "$LIB/notes.txt" --batch 1
check "tags records" "[l.get('title') for l in lines[:2]] == ['First', 'Third'] and \
lines[0]['artist'] == 'Test Artist'" "$WORK/out"
check "tags unreadable" "lines[2] == {'path': '$LIB/notes.txt', 'error': 'tags could not be read'}" "$WORK/out"
check "tags count" "lines[-1] == {'count': 2}" "$WORK/out"

# Hash: MP3 and M4A hashed, the FLAC file's error entry tied to its path;
# the copy of first.mp3 hashes the same.
expect_rc "hash" 0 "$HOST" hash "$LIB/first.mp3" "$LIB/third.flac" "$LIB/second.m4a" "$LIB/sub/first copy.mp3"
check "hash records" "len(lines[0]['hash']) == 40 and lines[0]['path'].endswith('first.mp3') and \
lines[1] == {'path': '$LIB/third.flac', 'error': \"error: couldn't get hash for file\"} and \
len(lines[2]['hash']) == 40 and lines[3]['hash'] == lines[0]['hash'] and lines[-1] == {'count': 3}" "$WORK/out"

# Table output of hash.
expect_rc "hash table" 0 "$HOST" hash --format table "$LIB/first.mp3"
head -1 "$WORK/out" | grep -q '^path  *hash' || fail "hash table header: $(head -1 "$WORK/out")"
grep -q '^count: 1$' "$WORK/out" || fail "hash table count"

# Fingerprints of two types.
expect_rc "fingerprint" 0 "$HOST" fingerprint --types CMX,MICRO "$LIB/first.mp3" "$LIB/no-such.mp3"
check "fingerprint records" "set(lines[0]) == {'CMX', 'MICRO', 'path'} and len(lines[0]['CMX']) > 10 and \
lines[1] == {'error': 'file path was not valid', 'path': '$LIB/no-such.mp3'} and \
lines[-1] == {'count': 1}" "$WORK/out"

# A fingerprint type the helper refuses is a helper error: exit 1.
expect_rc "fingerprint bad type" 1 "$HOST" fingerprint --types micro "$LIB/first.mp3"
grep -q 'invalid algorithm specified: micro' "$WORK/err" || fail "bad type error not shown"

# WAV conversion, one result line per file.
cp "$LIB/fourth.ogg" "$WORK/convert me.ogg"
expect_rc "wav" 0 "$HOST" wav "$WORK/convert me.ogg" "$LIB/notes.txt"
check "wav records" "lines[0] == {'path': '$WORK/convert me.ogg', 'converted': True, \
'wav': '$WORK/convert me.wav'} and lines[1]['converted'] is False and \
lines[-1] == {'filesConverted': 1, 'filesSkipped': 1}" "$WORK/out"
[ -s "$WORK/convert me.wav" ] || fail "wav file not written"

# Machine facts.
expect_rc "extensions" 0 "$HOST" extensions
check "extensions" "[l['extension'] for l in lines][:1] == ['mp3'] and {'extension': 'flac'} in lines" "$WORK/out"
expect_rc "sysinfo" 0 "$HOST" sysinfo
check "sysinfo" "len(lines) == 1 and isinstance(lines[0]['osType'], str) and lines[0]['cpuCores'] >= 1 \
and 'systemRamMB' in lines[0]" "$WORK/out"
expect_rc "sysinfo table" 0 "$HOST" sysinfo --format table
grep -q '^osType: ' "$WORK/out" || fail "sysinfo table"
expect_rc "device-id" 0 "$HOST" device-id
check "device-id" "len(lines) == 1 and len(lines[0]['deviceId']) == 40" "$WORK/out"

# keep-awake against a logind stand-in on a private bus: the command runs while
# the helper holds an inhibitor lock, and its status is passed on.
NOBUS=unix:path=/nonexistent/ostra-no-bus
BUSDIR="$WORK/bus"
mkdir -p "$BUSDIR"
BUS="unix:path=$BUSDIR/socket"
cat >"$BUSDIR/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>$BUS</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
/usr/bin/dbus-daemon --nofork --config-file="$BUSDIR/bus.conf" >"$BUSDIR/daemon.log" 2>&1 &
BUS_PID=$!
sleep 0.5
DBUS_SYSTEM_BUS_ADDRESS=$BUS /usr/bin/python3 -m dbusmock --system --template logind \
    >"$BUSDIR/logind.log" 2>&1 &
LOGIND_PID=$!
trap 'kill $LOGIND_PID $BUS_PID 2>/dev/null; rm -rf "$WORK"' EXIT
inhibitors() {
    busctl --address="$BUS" call org.freedesktop.login1 /org/freedesktop/login1 \
        org.freedesktop.login1.Manager ListInhibitors 2>/dev/null
}
for _ in $(seq 200); do
    inhibitors >/dev/null && break
    sleep 0.1
done
if inhibitors >/dev/null; then
    export -f inhibitors
    export BUS
    expect_rc "keep-awake" 7 env DBUS_SYSTEM_BUS_ADDRESS="$BUS" DBUS_SESSION_BUS_ADDRESS="$NOBUS" \
        "$HOST" keep-awake --require -- bash -c 'echo "during: $(inhibitors)"; exit 7'
    grep -q '^during: a(ssssuu) 1 ' "$WORK/out" ||
        fail "no inhibitor lock while the command ran: $(cat "$WORK/out")"
    [ "$(inhibitors)" = "a(ssssuu) 0" ] || fail "inhibitor lock still held after keep-awake: $(inhibitors)"
else
    fail "logind stand-in never answered: $(cat "$BUSDIR/logind.log")"
fi
expect_rc "keep-awake missing command" 127 env DBUS_SYSTEM_BUS_ADDRESS="$BUS" \
    "$HOST" keep-awake -- /no/such/program

# Without any bus: a warning, and the command runs all the same; --require refuses.
expect_rc "keep-awake without bus" 7 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    DBUS_SESSION_BUS_ADDRESS="$NOBUS" "$HOST" keep-awake -- sh -c 'echo running; exit 7'
grep -qx 'running' "$WORK/out" || fail "keep-awake did not run the command"
grep -q 'warning: sleep could not be prevented' "$WORK/err" || fail "keep-awake gave no warning"
expect_rc "keep-awake --require without bus" 1 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    DBUS_SESSION_BUS_ADDRESS="$NOBUS" "$HOST" keep-awake --require -- sh -c 'echo running'
grep -q 'running' "$WORK/out" && fail "keep-awake --require ran the command"

# Raw requests, with and without the word "raw".
expect_rc "raw version" 0 "$HOST" raw version
check "raw version" "lines == [{'data': '12', 'done': True, 'duration': lines[0]['duration'], 'id': 1}]" "$WORK/out"
expect_rc "bare version" 0 "$HOST" version
check "bare version" "lines[0]['data'] == '12'" "$WORK/out"
expect_rc "bare echo" 0 "$HOST" echo '{"hello": "world", "list": [1, 2]}'
check "bare echo" "lines[0]['data'] == {'hello': 'world', 'list': [1, 2]}" "$WORK/out"
expect_rc "unknown command" 1 "$HOST" noSuchCommand
check "unknown command" "lines[0]['data'] == 'Error: Unknown command \"noSuchCommand\"'" "$WORK/out"

# Usage errors: exit 2.
expect_rc "scan without dir" 2 "$HOST" scan
expect_rc "bad json" 2 "$HOST" raw echo '{not json'
expect_rc "bad format" 2 "$HOST" --format xml version
expect_rc "no command" 2 "$HOST"
expect_rc "help" 0 "$HOST" scan --help
grep -q -- '--ext' "$WORK/out" || fail "scan --help does not list --ext"

# A helper that cannot start: exit 3.
expect_rc "missing helper" 3 "$HOST" --helper /no/such/helper version
expect_rc "helper that exits" 3 "$HOST" --helper /bin/false sysinfo

# On a terminal the progress line appears on standard error.
if command -v script >/dev/null; then
    script -qec "'$HOST' hash '$LIB/first.mp3' '$LIB/second.m4a' >/dev/null" "$WORK/typescript" \
        >/dev/null 2>&1 || fail "hash on a terminal"
    grep -q 'hash: [0-9]*/2 files' "$WORK/typescript" || fail "no progress line on a terminal"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all ostra-host checks passed"
