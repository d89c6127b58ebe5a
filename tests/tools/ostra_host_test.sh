#!/usr/bin/env bash
# Drives ostra-host as a user would: every subcommand against the real helper
# on audio generated with ffmpeg, JSON Lines parsed back, the table checked,
# exit statuses, failure reasons, file lists, keep-awake with a command and
# signals, the command line's own rules, and the progress line on a terminal.
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

# expect_err NAME TEXT: standard error of the last expect_rc holds TEXT.
expect_err() {
    grep -qF -- "$2" "$WORK/err" || fail "$1: stderr lacks \"$2\": $(head -c 300 "$WORK/err")"
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
# Things that are not audio files, for the failure reasons.
mkfifo "$WORK/pipe.mp3"
mkdir "$WORK/folder.mp3"
PERM=$(mktemp -d -p "$WORK")
chmod 755 "$WORK" "$PERM"
cp "$LIB/first.mp3" "$PERM/locked.mp3"
chmod 000 "$PERM/locked.mp3"

# --- scan ---

expect_rc "scan" 0 "$HOST" scan "$LIB" --ext mp3,m4a,flac,ogg --batch 2
cp "$WORK/out" "$WORK/scan.jsonl"
check "scan songs" "sum(1 for l in lines if l.get('objectType') == 'song') == 4" "$WORK/scan.jsonl"
check "scan duplicate" "[l['type'] for l in lines if l.get('objectType') == 'duplicate'] in (['id'], ['artistMDK'])" \
    "$WORK/scan.jsonl"
check "scan report" "lines[-1] == {'objectType': 'report', 'duplicateCount': 1, 'uniqueSongCount': 4, \
'playlistCount': 0}" "$WORK/scan.jsonl"
grep -q $'\r' "$WORK/err" && fail "progress line drawn although standard error is not a terminal"
[ -s "$WORK/err" ] && fail "scan wrote to standard error: $(head -c 200 "$WORK/err")"

expect_rc "scan table" 0 "$HOST" --format table scan "$LIB" --ext mp3,m4a,flac,ogg
head -1 "$WORK/out" | grep -q '^objectType  *title  *artist' || fail "table header: $(head -1 "$WORK/out")"
grep -q '^uniqueSongCount: 4$' "$WORK/out" || fail "table summary lacks uniqueSongCount: 4"
grep -q '^song  *Third  *Test Artist' "$WORK/out" || fail "table lacks the row of Third"

# Extensions in any case, with or without the dot, match the same files.
for ext in MP3 .mp3 .Mp3,OGG " mp3 , ogg"; do
    expect_rc "scan --ext '$ext'" 0 "$HOST" scan "$LIB" --ext "$ext"
    check "scan --ext '$ext' finds the MP3 songs" \
        "sum(1 for l in lines if l.get('path', '').endswith('.mp3')) == 2" "$WORK/out"
done
# A scan that matches nothing says so, and is not an error.
expect_rc "scan matching nothing" 0 "$HOST" scan "$LIB" --ext wma
expect_err "scan matching nothing" "warning: no file in $LIB has one of the extensions wma"
# Several folders: one request each, each with its report.
expect_rc "scan two folders" 0 "$HOST" scan "$LIB/sub" "$LIB" --ext mp3
check "scan two folders" "[l.get('uniqueSongCount') for l in lines if l.get('objectType') == 'report'] == [1, 1] \
and lines[0]['path'] == '$LIB/sub/first copy.mp3'" "$WORK/out"
expect_rc "scan two folders table" 0 "$HOST" scan "$LIB/sub" "$LIB" --ext mp3 --format table
[ "$(grep -c '^folder: ' "$WORK/out")" -eq 2 ] || fail "the table does not name each report's folder"

# A missing folder: the error, then still the report; exit 1.
expect_rc "scan missing dir" 1 "$HOST" scan "$LIB/sub" "$WORK/no-such-dir"
# The walk's text does not say which folder; the message does.
expect_err "scan missing dir" "error for $WORK/no-such-dir: Problem occurred during file system scanning."
check "scan missing dir report" "lines[-1].get('uniqueSongCount') == 0" "$WORK/out"

# The iTunes library scan on a home without a library: an empty list, then the report.
expect_rc "itunes" 0 env HOME="$WORK" "$HOST" itunes
check "itunes" "lines == [{'libraries': []}, {'objectType': 'report', 'duplicateCount': 0, \
'uniqueSongCount': 0, 'playlistCount': 0}]" "$WORK/out"

# --- per-file commands: exit status 0 only when every file succeeded ---

expect_rc "tags" 1 "$HOST" tags "$LIB/notes.txt" "$LIB/first.mp3" "$LIB/third.flac" "$LIB/gone.mp3" --batch 1
expect_err "tags" "2 of 4 files failed"
check "tags records in file order" "[l.get('title') for l in lines[:4]] == [None, 'First', 'Third', None] and \
lines[1]['artist'] == 'Test Artist' and lines[-1] == {'count': 2}" "$WORK/out"
check "tags failures" "lines[0] == {'path': '$LIB/notes.txt', 'error': 'tags could not be read', \
'reason': 'unsupported or damaged audio'} and lines[3]['reason'] == 'No such file or directory'" "$WORK/out"
expect_rc "tags all readable" 0 "$HOST" tags "$LIB/first.mp3" "$LIB/third.flac"

# Hash: MP3 and M4A hashed; the copy of first.mp3 hashes the same; the FLAC
# file's error entry tied to its path.
expect_rc "hash" 1 "$HOST" hash "$LIB/first.mp3" "$LIB/third.flac" "$LIB/second.m4a" "$LIB/sub/first copy.mp3"
expect_err "hash" "1 of 4 files failed"
check "hash records" "len(lines[0]['hash']) == 40 and lines[0]['path'].endswith('first.mp3') and \
lines[1] == {'path': '$LIB/third.flac', 'error': \"error: couldn't get hash for file\", \
'reason': 'unsupported or damaged audio'} and len(lines[2]['hash']) == 40 and \
lines[3]['hash'] == lines[0]['hash'] and lines[-1] == {'count': 3}" "$WORK/out"
expect_rc "hash all hashed" 0 "$HOST" hash "$LIB/first.mp3" "$LIB/second.m4a"
[ -s "$WORK/err" ] && fail "hash of good files wrote to standard error: $(head -c 200 "$WORK/err")"
expect_rc "hash table" 0 "$HOST" hash --format table "$LIB/first.mp3"
head -1 "$WORK/out" | grep -q '^path  *hash' || fail "hash table header: $(head -1 "$WORK/out")"
grep -q '^count: 1$' "$WORK/out" || fail "hash table count"

# Why a file failed, as ostra-host finds it, beside the helper's own text.
while IFS='|' read -r file reason; do
    expect_rc "hash $file" 1 "$HOST" hash "$file"
    check "reason for $file" "lines[0]['path'] == '$file' and lines[0]['reason'] == '$reason'" "$WORK/out"
done <<EOF
$WORK/gone.mp3|No such file or directory
$WORK/folder.mp3|Is a directory
$WORK/pipe.mp3|not a regular file
$LIB/notes.txt|unsupported or damaged audio
EOF
# Copies that nobody may run, wherever the build tree lives (/root is closed).
mkdir -p "$WORK/shared-bin"
cp "$HOST" "$BUILD/ostra-native" "$WORK/shared-bin/"
chmod 755 "$WORK/shared-bin"
expect_rc "hash as nobody" 1 setpriv --reuid=nobody --regid=nogroup --clear-groups \
    "$WORK/shared-bin/ostra-host" hash "$PERM/locked.mp3"
check "reason for an unreadable file" "lines[0]['reason'] == 'Permission denied'" "$WORK/out"

# Fingerprints: an SDK error record stays whole in JSON and reads as one line
# in a table.
expect_rc "fingerprint" 1 "$HOST" fingerprint --types CMX,MICRO "$LIB/first.mp3" "$LIB/no-such.mp3" "$LIB/notes.txt"
expect_err "fingerprint" "2 of 3 files failed"
check "fingerprint records" "set(lines[0]) == {'CMX', 'MICRO', 'path'} and len(lines[0]['CMX']) > 10 and \
lines[1] == {'error': 'file path was not valid', 'path': '$LIB/no-such.mp3', \
'reason': 'No such file or directory'} and lines[2]['error'].startswith('***ERROR***') and \
'\n\tSource File: ' in lines[2]['error'] and lines[2]['reason'] == 'unsupported or damaged audio' and \
lines[-1] == {'count': 1}" "$WORK/out"
expect_rc "fingerprint table" 1 "$HOST" fingerprint --format table "$LIB/notes.txt" "$LIB/first.mp3"
[ "$(grep -c 'notes.txt' "$WORK/out")" -eq 1 ] || fail "the error record spans lines: $(cat "$WORK/out")"
grep -q 'notes.txt  *failed to start decode (error [0-9a-f]*)  *unsupported or damaged audio' "$WORK/out" ||
    fail "the table's error line: $(grep notes.txt "$WORK/out")"
grep -q 'ERROR\|Source File' "$WORK/out" && fail "the table shows the raw error record"

# A fingerprint type the helper refuses is a helper error: exit 1.
expect_rc "fingerprint bad type" 1 "$HOST" fingerprint --types micro "$LIB/first.mp3"
expect_err "fingerprint bad type" 'invalid algorithm specified: micro'

# WAV conversion, one result line per file.
cp "$LIB/fourth.ogg" "$WORK/convert me.ogg"
expect_rc "wav" 1 "$HOST" wav "$WORK/convert me.ogg" "$LIB/notes.txt"
expect_err "wav" "1 of 2 files failed"
check "wav records" "lines[0] == {'path': '$WORK/convert me.ogg', 'converted': True, \
'wav': '$WORK/convert me.wav'} and lines[1] == {'path': '$LIB/notes.txt', 'converted': False, \
'reason': 'unsupported or damaged audio'} and lines[-1] == {'filesConverted': 1, 'filesSkipped': 1}" "$WORK/out"
[ -s "$WORK/convert me.wav" ] || fail "wav file not written"
expect_rc "wav all converted" 0 "$HOST" wav "$WORK/convert me.ogg"
# Failures the file itself does not explain get the helper's reason, not "damaged".
cp "$WORK/convert me.wav" "$WORK/already.WAV"
expect_rc "wav of a WAV file" 1 "$HOST" wav "$WORK/already.WAV"
check "wav of a WAV file" "lines[0]['reason'] == 'already a WAV file'" "$WORK/out"
mkdir -p "$WORK/blocked/song.wav"
cp "$LIB/fourth.ogg" "$WORK/blocked/song.ogg"
expect_rc "wav where a folder takes the WAV file's name" 1 "$HOST" wav "$WORK/blocked/song.ogg"
check "wav where a folder takes the WAV file's name" \
    "lines[0]['reason'] == 'the WAV file cannot be written: Is a directory'" "$WORK/out"
tone "$WORK/short.mp3" 440 1 "Short" -c:a libmp3lame
expect_rc "fingerprint of short audio" 1 "$HOST" fingerprint "$WORK/short.mp3"
check "fingerprint of short audio" "lines[0]['reason'] == 'too short to fingerprint'" "$WORK/out"
expect_rc "fingerprint without types" 2 "$HOST" fingerprint --types , "$LIB/first.mp3"

# --- file lists ---

# Names with a new line, a blank and a quote go through -print0 and -0.
ODD="$WORK/odd"
mkdir -p "$ODD"
cp "$LIB/first.mp3" "$ODD/line"$'\n'"break.mp3"
cp "$LIB/second.m4a" "$ODD/it's here.m4a"
find "$ODD" -type f -print0 | sort -z >"$WORK/list0"
expect_rc "hash --files-from - -0" 0 sh -c "'$HOST' hash --files-from - -0 <'$WORK/list0'"
check "hash --files-from - -0" "sorted(l['path'] for l in lines[:-1]) == sorted(['$ODD/line\nbreak.mp3', \
\"$ODD/it's here.m4a\"]) and lines[-1] == {'count': 2}" "$WORK/out"
# A name that is not UTF-8 prints with U+FFFD in "path" (JSON is Unicode) and
# its bytes in "pathBytes"; empty entries and a last name without its NUL are fine.
cp "$LIB/first.mp3" "$ODD/caf"$'\xe9'".mp3"
printf '%s\0\0%s' "$ODD/caf"$'\xe9'".mp3" "$LIB/first.mp3" >"$WORK/list0"
expect_rc "hash of a name that is not UTF-8" 0 sh -c "'$HOST' hash --files-from - -0 <'$WORK/list0'"
check "hash of a name that is not UTF-8" "[l.get('path') for l in lines] == ['$ODD/caf\ufffd.mp3', '$LIB/first.mp3', None] \
and __import__('base64').b64decode(lines[0]['pathBytes']) == b'$ODD/caf\xe9.mp3' and 'pathBytes' not in lines[1]" "$WORK/out"
rm "$ODD/caf"$'\xe9'".mp3"
printf '%s\n\n%s\n' "$LIB/first.mp3" "$LIB/second.m4a" >"$WORK/list"
for command in tags hash fingerprint wav; do
    expect_rc "$command --files-from FILE" 0 "$HOST" "$command" "$LIB/sub/first copy.mp3" --files-from "$WORK/list"
    check "$command --files-from FILE" "[l['path'] for l in lines if 'path' in l] == \
['$LIB/sub/first copy.mp3', '$LIB/first.mp3', '$LIB/second.m4a']" "$WORK/out"
done
# Lists that cannot be read, or are no lists of names, are usage errors.
head -c 5000 /dev/zero | tr '\0' x >"$WORK/one-long-line"
while IFS='|' read -r what list flags message; do
    # shellcheck disable=SC2086
    expect_rc "--files-from $what" 2 "$HOST" hash --files-from "$list" $flags
    expect_err "--files-from $what" "$message"
done <<EOF
a missing file|$WORK/no-list||cannot read $WORK/no-list: No such file or directory
a folder|$WORK/folder.mp3||cannot read $WORK/folder.mp3: Is a directory
an audio file|$LIB/first.mp3||holds a NUL byte: NUL-separated names need -0
a name past PATH_MAX|$WORK/one-long-line|-0|is longer than 4096 bytes
EOF
expect_rc "--files-from a closed standard input" 2 sh -c "exec <&-; '$HOST' hash --files-from -"
expect_err "--files-from a closed standard input" "cannot read standard input: Bad file descriptor"
expect_rc "no files at all" 2 "$HOST" hash
# Arguments before a "--" stay arguments; after it, a name may start with "-".
cp "$LIB/first.mp3" "$WORK/-dash.mp3"
expect_rc "arguments around --" 0 sh -c "cd '$WORK' && '$HOST' hash --batch 1 '$LIB/first.mp3' -- -dash.mp3"
check "arguments around --" "[l.get('path') for l in lines] == ['$LIB/first.mp3', '-dash.mp3', None]" "$WORK/out"
# A list longer than one request holds.
for i in $(seq 1 1100); do echo "$LIB/first.mp3"; done >"$WORK/long-list"
expect_rc "hash of 1100 files" 0 "$HOST" hash --files-from "$WORK/long-list" --batch 100
check "hash of 1100 files" "len(lines) == 1101 and lines[-1] == {'count': 1100} and \
len({l['hash'] for l in lines[:-1]}) == 1" "$WORK/out"

# --- standard output ---

# A reader that goes away ends the run as it ends any writer, by SIGPIPE,
# instead of the run going on to its end for nobody.
"$HOST" hash --files-from "$WORK/long-list" --batch 1 | head -1 >/dev/null
rc=${PIPESTATUS[0]}
[ "$rc" -eq 141 ] || fail "hash | head -1: exit status $rc, expected 141 (SIGPIPE)"
# Output that cannot be written is an error, a closed standard output too
# (where the helper's socket would otherwise take its number).
while IFS='|' read -r what redirect message; do
    expect_rc "output $what" 1 sh -c "exec $redirect; '$HOST' fingerprint '$LIB/first.mp3'"
    expect_err "output $what" "write error: $message"
done <<'EOF'
to a full disk|>/dev/full|No space left on device
closed|>&-|Bad file descriptor
and input closed|<&- >&-|Bad file descriptor
EOF

# --- machine facts ---

expect_rc "extensions" 0 "$HOST" extensions
check "extensions" "[l['extension'] for l in lines][:1] == ['mp3'] and {'extension': 'flac'} in lines" "$WORK/out"
expect_rc "sysinfo" 0 "$HOST" sysinfo
check "sysinfo" "len(lines) == 1 and isinstance(lines[0]['osType'], str) and lines[0]['cpuCores'] >= 1 \
and 'systemRamMB' in lines[0]" "$WORK/out"
expect_rc "sysinfo table" 0 "$HOST" sysinfo --format table
grep -q '^osType: ' "$WORK/out" || fail "sysinfo table"
expect_rc "device-id" 0 "$HOST" device-id
check "device-id" "len(lines) == 1 and len(lines[0]['deviceId']) == 40" "$WORK/out"

# --- the file cache ---

# Files changed less than two seconds ago are not remembered.
changed=$(stat -c %Z "$LIB/first.mp3" "$LIB/third.flac" | sort -n | tail -1)
[ $(($(date +%s) - changed)) -ge 3 ] || sleep 3
CACHE="$WORK/file cache/cache.sqlite"
expect_rc "cache before any helper" 0 env OSTRA_CACHE="$CACHE" "$HOST" cache
check "cache before any helper" "lines == [{'path': '$CACHE', 'enabled': True, 'exists': False, \
'bytes': 0, 'entries': 0, 'kinds': {}}]" "$WORK/out"
expect_rc "tags into the cache" 0 env OSTRA_CACHE="$CACHE" "$HOST" tags "$LIB/first.mp3" "$LIB/third.flac"
cp "$WORK/out" "$WORK/tags.jsonl"
expect_rc "hash into the cache" 0 env OSTRA_CACHE="$CACHE" "$HOST" hash "$LIB/first.mp3"
expect_rc "cache" 0 env OSTRA_CACHE="$CACHE" "$HOST" cache
check "cache" "lines[0]['exists'] and lines[0]['bytes'] > 0 and lines[0]['entries'] == 3 \
and lines[0]['kinds'] == {'hash': 1, 'tags': 2}" "$WORK/out"
expect_rc "cache table" 0 env OSTRA_CACHE="$CACHE" "$HOST" --format table cache
grep -q 'cache.sqlite  *true  *[0-9][0-9]*  *3  *{"hash":1,"tags":2}$' "$WORK/out" ||
    fail "cache table: $(head -c 300 "$WORK/out")"
expect_rc "tags from the cache" 0 env OSTRA_CACHE="$CACHE" "$HOST" tags "$LIB/first.mp3" "$LIB/third.flac"
cmp -s "$WORK/out" "$WORK/tags.jsonl" || fail "tags from the cache differ from the tags read"
expect_rc "cache --clear" 0 env OSTRA_CACHE="$CACHE" "$HOST" cache --clear
check "cache --clear" "lines[0]['exists'] and lines[0]['entries'] == 0 and lines[0]['kinds'] == {}" "$WORK/out"
# The helper's own rules for where the cache is.
expect_rc "cache under XDG_CACHE_HOME" 0 env -u OSTRA_CACHE XDG_CACHE_HOME="$WORK/xdg" "$HOST" cache
check "cache under XDG_CACHE_HOME" "lines[0]['path'] == '$WORK/xdg/ostra-native/cache.sqlite' \
and not lines[0]['exists']" "$WORK/out"
expect_rc "cache turned off" 0 env OSTRA_CACHE=off "$HOST" cache
check "cache turned off" "lines == [{'path': None, 'enabled': False, 'reason': 'OSTRA_CACHE=off'}]" "$WORK/out"
# A file of another kind at the path is reported and left alone, even by --clear.
echo "not a cache" >"$WORK/other.sqlite"
expect_rc "cache --clear on another file" 1 env OSTRA_CACHE="$WORK/other.sqlite" "$HOST" cache --clear
expect_err "cache --clear on another file" "$WORK/other.sqlite: "
[ "$(cat "$WORK/other.sqlite")" = "not a cache" ] || fail "cache --clear changed another file"

# --- keep-awake ---

NOBUS=unix:path=/nonexistent/ostra-no-bus
# The command's own flags stay the command's.
expect_rc "keep-awake ls -la" 0 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" DBUS_SESSION_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake ls -la "$LIB"
grep -q 'first.mp3' "$WORK/out" || fail "keep-awake ls -la did not list: $(head -c 200 "$WORK/err")"
grep -q '^total ' "$WORK/out" || fail "keep-awake ls did not get -l"
expect_rc "keep-awake flags before the command" 3 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake --helper /no/such/helper sh -c 'exit 0'
# Without any bus: a warning that says why, and the command runs all the same.
expect_rc "keep-awake without bus" 7 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    DBUS_SESSION_BUS_ADDRESS="$NOBUS" "$HOST" keep-awake -- sh -c 'echo running; exit 7'
grep -qx 'running' "$WORK/out" || fail "keep-awake did not run the command"
expect_err "keep-awake without bus" "warning: sleep could not be prevented"
expect_err "keep-awake without bus" "no system bus at $NOBUS (No such file or directory)"
expect_err "keep-awake without bus" "no session bus at $NOBUS"
expect_rc "keep-awake --require without bus" 1 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    DBUS_SESSION_BUS_ADDRESS="$NOBUS" "$HOST" keep-awake --require -- sh -c 'echo running'
grep -q 'running' "$WORK/out" && fail "keep-awake --require ran the command"
expect_rc "keep-awake missing command" 127 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake -- /no/such/program
expect_rc "keep-awake command that cannot run" 126 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake -- "$LIB/notes.txt"
# The command gets none of ostra-host's sockets.
expect_rc "keep-awake command's descriptors" 0 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake sh -c 'for fd in /proc/$$/fd/*; do readlink "$fd"; done; exit 0'
grep -q 'socket:' "$WORK/out" && fail "keep-awake's command holds a socket of ostra-host: $(cat "$WORK/out")"
# The command gets the signals' usual actions: a writer whose reader is gone ends by SIGPIPE.
expect_rc "keep-awake command in a pipeline" 141 env DBUS_SYSTEM_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake bash -c 'yes | head -1 >/dev/null; exit "${PIPESTATUS[0]}"'

# SIGTERM to ostra-host reaches the command, and ostra-host waits for it.
STRAY="$WORK/child.pid"
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
for _ in $(seq 100); do [ -S "$BUSDIR/socket" ] && break; sleep 0.1; done
expect_rc "keep-awake without logind" 0 env DBUS_SYSTEM_BUS_ADDRESS="$BUS" DBUS_SESSION_BUS_ADDRESS="$NOBUS" \
    "$HOST" keep-awake true
expect_err "keep-awake without logind" "no logind on the system bus"
DBUS_SYSTEM_BUS_ADDRESS=$BUS /usr/bin/python3 -m dbusmock --system --template logind \
    >"$BUSDIR/logind.log" 2>&1 &
LOGIND_PID=$!
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

# --- the command line ---

# Raw requests, with and without the word "raw".
expect_rc "raw version" 0 "$HOST" raw version
check "raw version" "lines == [{'data': '12', 'done': True, 'duration': lines[0]['duration'], 'id': 1}]" "$WORK/out"
expect_rc "bare version" 0 "$HOST" version
check "bare version" "lines[0]['data'] == '12'" "$WORK/out"
expect_rc "bare echo" 0 "$HOST" echo '{"hello": "world", "list": [1, 2]}'
check "bare echo" "lines[0]['data'] == {'hello': 'world', 'list': [1, 2]}" "$WORK/out"
expect_rc "raw unknown command" 1 "$HOST" raw noSuchCommand
check "raw unknown command" "lines[0]['data'] == 'Error: Unknown command \"noSuchCommand\"'" "$WORK/out"
# An empty list is a list.
expect_rc "raw empty list" 0 "$HOST" raw echo '{"songs": [], "nested": [[]]}'
check "raw empty list" "lines[0]['data'] == {'songs': [], 'nested': [[]]}" "$WORK/out"
expect_rc "raw audioHash without files" 0 "$HOST" raw audioHash '{}'
check "raw audioHash without files" "lines[0]['data'] == []" "$WORK/out"

# A mistyped subcommand is a usage error with a suggestion.
while IFS='|' read -r word suggestion; do
    expect_rc "mistyped $word" 2 "$HOST" "$word" "$LIB"
    expect_err "mistyped $word" "unknown subcommand \"$word\", did you mean $suggestion?"
done <<'EOF'
scna|scan
tag|tags
Hash|hash
fingerprnt|fingerprint
versoin|version
audiohash|audioHash
EOF
expect_rc "unknown word" 2 "$HOST" frobnicate
expect_err "unknown word" 'unknown subcommand "frobnicate"'

# --version everywhere; global flags before or after the subcommand.
cp "$LIB/fourth.ogg" "$WORK/convert.ogg"
for words in "" "scan" "hash" "keep-awake" "raw"; do
    # shellcheck disable=SC2086
    expect_rc "$words --version" 0 "$HOST" $words --version
    grep -qx 'ostra-host (OstraNative) [0-9.]*' "$WORK/out" || fail "$words --version: $(cat "$WORK/out")"
done
while IFS= read -r line; do
    read -ra words <<<"$line"
    expect_rc "flags after: $line" 0 "$HOST" "${words[@]}" --format table --no-progress -v --helper "$BUILD/ostra-native"
    expect_rc "flags before: $line" 0 "$HOST" --format=table --no-progress --verbose --helper="$BUILD/ostra-native" "${words[@]}"
done <<EOF
scan $LIB --ext mp3
itunes
tags $LIB/first.mp3
hash $LIB/first.mp3
fingerprint $LIB/first.mp3
wav $WORK/convert.ogg
extensions
sysinfo
device-id
version
raw version
EOF

# Tables align by display width: a wide title takes two columns a character.
tone "$WORK/wide.mp3" 440 1 "日本語のタイトル" -c:a libmp3lame
tone "$WORK/narrow.mp3" 440 1 "Plain title" -c:a libmp3lame
expect_rc "tags table with wide characters" 0 "$HOST" --format table tags "$WORK/wide.mp3" "$WORK/narrow.mp3"
python3 - "$WORK/out" <<'EOF' || fail "the table is not aligned: $(cat "$WORK/out")"
import sys, unicodedata
width = lambda s: sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in s)
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
at = lines[0].index("artist")
rows = [l for l in lines[2:] if "Test Artist" in l]
sys.exit(0 if len(rows) == 2 and all(width(l[:l.index("Test Artist")]) == at for l in rows) else 1)
EOF

# Tags and names are anyone's: a table sends the terminal no control
# character, and bytes that are not UTF-8 show as U+FFFD, as in JSON.
tone "$WORK/escape.mp3" 440 1 $'evil\e[2J\e]0;title\ax' -c:a libmp3lame
cp "$WORK/narrow.mp3" "$WORK/caf"$'\xe9'".mp3"
expect_rc "tags table with controls" 0 "$HOST" --format table tags "$WORK/escape.mp3" "$WORK/caf"$'\xe9'".mp3"
python3 - "$WORK/out" <<'EOF' || fail "the table passes controls or bad UTF-8 on: $(cat -v "$WORK/out")"
import sys
raw = open(sys.argv[1], "rb").read()
text = raw.decode("utf-8")  # raises on bytes that are not UTF-8
sys.exit(0 if not any(ord(c) < 32 and c != "\n" for c in text) and "evil?[2J?]0;title?x" in text
         and "caf\ufffd.mp3" in text else 1)
EOF

# Usage errors: exit 2.
expect_rc "scan without dir" 2 "$HOST" scan
expect_rc "bad json" 2 "$HOST" raw echo '{not json'
expect_rc "bad format" 2 "$HOST" --format xml version
expect_rc "no command" 2 "$HOST"
expect_rc "help" 0 "$HOST" scan --help
grep -q -- '--ext' "$WORK/out" || fail "scan --help does not list --ext"

# --- finding the helper ---

# A port that is taken: said so, not a bare "bind" error.
coproc TAKEN { python3 -c 'import socket, sys; s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
print(s.getsockname()[1], flush=True); sys.stdin.read()'; }
read -r taken <&"${TAKEN[0]}"
expect_rc "--port taken" 3 "$HOST" --port "$taken" version
expect_err "--port taken" "cannot listen on 127.0.0.1:$taken (Address already in use)"
kill "$TAKEN_PID" 2>/dev/null
expect_rc "missing helper" 3 "$HOST" --helper /no/such/helper version
expect_err "missing helper" "/no/such/helper cannot be run: No such file or directory"
expect_rc "helper that exits" 3 "$HOST" --helper /bin/false sysinfo
# A helper that answers in forms it never would: no garbage count, and a
# clear word on what came instead of a number.
cat >"$WORK/odd-helper" <<'EOF'
#!/usr/bin/env python3
import os, socket, struct, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.recv(65536)
def key(k): return struct.pack(">H", len(k)) + k
def number(x): return b"\x00" + struct.pack(">d", x)
odd = {"count": b"\x03" + key(b"count") + number(1e300) + b"\x00\x00\x09",
       "type": b"\x03" + key(b"filesConverted") + b"\x02\x00\x01x" + b"\x00\x00\x09"}
body = (b"\x03" + key(b"data") + odd[os.environ["ODD"]] + key(b"done") + b"\x01\x01" +
        key(b"duration") + number(0) + key(b"id") + number(1) + b"\x00\x00\x09")
s.sendall(struct.pack("<I", len(body)) + body)
sys.stdin.read()
EOF
chmod +x "$WORK/odd-helper"
# (Kept out of the record log, which holds only what the real helper says.)
expect_rc "a count past any integer" 0 env -u OSTRA_RECORD_LOG ODD=count "$HOST" --helper "$WORK/odd-helper" hash "$LIB/first.mp3"
check "a count past any integer" "lines == [{'count': 0}]" "$WORK/out"
expect_rc "a text for a number" 3 env -u OSTRA_RECORD_LOG ODD=type "$HOST" --helper "$WORK/odd-helper" wav "$LIB/first.mp3"
expect_err "a text for a number" "the helper sent an answer of an unexpected form"

# ostra-host alone in a folder finds the helper on PATH, and says where it
# looked when it is nowhere.
mkdir -p "$WORK/bin" "$WORK/elsewhere"
cp "$HOST" "$WORK/bin/ostra-host"
expect_rc "helper on PATH" 0 env PATH="$WORK/elsewhere:$BUILD:/usr/bin:/bin" "$WORK/bin/ostra-host" version
check "helper on PATH" "lines[0]['data'] == '12'" "$WORK/out"
expect_rc "helper named, on PATH" 0 env PATH="$BUILD:/usr/bin:/bin" "$WORK/bin/ostra-host" --helper ostra-native version
expect_rc "helper nowhere" 3 env PATH="$WORK/elsewhere:/usr/bin" "$WORK/bin/ostra-host" version
expect_err "helper nowhere" "ostra-native not found (tried $WORK/bin/ostra-native, $WORK/elsewhere/ostra-native, /usr/bin/ostra-native)"
expect_rc "helper from OSTRA_NATIVE" 0 env PATH=/usr/bin OSTRA_NATIVE="$BUILD/ostra-native" "$WORK/bin/ostra-host" version

# --- on a terminal ---

# The progress line is erased before every record, so what the terminal shows
# is the records alone; and it counts in the singular for one.
if command -v script >/dev/null; then
    for i in $(seq 1 13); do cp "$LIB/first.mp3" "$WORK/many-$i.mp3"; done
    script -qec "'$HOST' hash $WORK/many-*.mp3" "$WORK/typescript" >/dev/null 2>&1 ||
        fail "hash on a terminal"
    grep -qa 'hash: [0-9]*/13 files' "$WORK/typescript" || fail "no progress line on a terminal"
    python3 - "$WORK/typescript" <<'EOF' || fail "records run into the progress line on a terminal"
import json, sys
raw = open(sys.argv[1], encoding="utf-8", errors="replace").read()
raw = raw[raw.index("\n") + 1:] if raw.startswith("Script started") else raw
# What a terminal shows: carriage return to column 0, ESC[K erases to the end.
screen, line, col, i = [], [], 0, 0
while i < len(raw):
    if raw.startswith("\x1b[K", i):
        del line[col:]
        i += 3
        continue
    c = raw[i]
    if c == "\r":
        col = 0
    elif c == "\n":
        screen.append("".join(line))
        line, col = [], 0
    else:
        line[col:col + 1] = [c]
        col += 1
    i += 1
screen.append("".join(line))
records = [l for l in screen if "{" in l]
bad = []
for l in records:
    try:
        json.loads(l)
    except ValueError:
        bad.append(l)
for l in bad[:3]:
    print("  on screen:", repr(l[:160]), file=sys.stderr)
sys.exit(0 if len(records) == 14 and not bad else 1)
EOF
    script -qec "'$HOST' scan '$LIB/sub' --ext mp3 >/dev/null" "$WORK/typescript" >/dev/null 2>&1 ||
        fail "scan on a terminal"
    grep -qa 'scan: 1 record,' "$WORK/typescript" || fail "progress line for one record: $(cat -v "$WORK/typescript")"
    grep -qa '1 records' "$WORK/typescript" && fail "progress line says 1 records"
    # On a narrow terminal the line is cut to fit, or every redraw would leave
    # a wrapped row behind.
    script -qec "stty cols 20; '$HOST' hash $WORK/many-*.mp3 >/dev/null" "$WORK/typescript" >/dev/null 2>&1 ||
        fail "hash on a narrow terminal"
    python3 - "$WORK/typescript" <<'EOF' || fail "progress line wider than the terminal: $(cat -v "$WORK/typescript")"
import re, sys
drawn = re.findall(r"\x1b\[K([^\r\n\x1b]+)", open(sys.argv[1], encoding="utf-8", errors="replace").read())
sys.exit(0 if drawn and all(len(d) < 20 for d in drawn) else 1)
EOF
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all ostra-host checks passed"
