#!/usr/bin/env bash
# A short tour of the helper through ostra-host: a scan with its duplicates and
# report, tags, audio hashes, fingerprints, one WAV conversion and the machine
# facts. Uses MUSIC_DIR when it names a folder, else a generated sample library
# in BUILD/sample-library. Nothing is written into MUSIC_DIR.
# Usage: demo.sh [BUILD]
set -euo pipefail
BUILD=${1:-build}
HOST="$BUILD/ostra-host"
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
EXTS=mp3,m4a,flac,ogg,wav,aif,aiff,aac

[ -x "$HOST" ] || { echo "demo: $HOST is missing; run 'make build' first" >&2; exit 1; }
[ -x "$BUILD/ostra-native" ] || { echo "demo: $BUILD/ostra-native is missing" >&2; exit 1; }

bold=""
plain=""
if [ -t 1 ]; then
    bold=$(printf '\033[1m')
    plain=$(printf '\033[0m')
fi
section() { printf '\n%s== %s ==%s\n' "$bold" "$1" "$plain"; }
# Shows the command as a user would type it, then runs it.
# Quotes a word for showing only when the shell would need it.
shown() {
    if [[ $1 =~ ^[A-Za-z0-9_./,:=+-]+$ ]]; then
        printf '%s' "$1"
    else
        printf "'%s'" "${1//\'/\'\\\'\'}"
    fi
}
run() {
    printf '%s$ ostra-host' "$bold"
    for word in "$@"; do printf ' %s' "$(shown "$word")"; done
    printf '%s\n' "$plain"
    local rc=0
    "$HOST" "$@" || rc=$?
    # 1: some file failed, and its record says why; the tour goes on.
    [ "$rc" -le 1 ] || exit "$rc"
}

started=$(date +%s)
if [ -n "${MUSIC_DIR:-}" ]; then
    [ -d "$MUSIC_DIR" ] || { echo "demo: MUSIC_DIR=$MUSIC_DIR is not a folder" >&2; exit 1; }
    LIBRARY=$MUSIC_DIR
else
    LIBRARY="$BUILD/sample-library"
    if [ ! -f "$LIBRARY/.complete" ]; then
        section "Generating a sample library with ffmpeg"
        bash "$HERE/make-sample-library.sh" "$LIBRARY"
        touch "$LIBRARY/.complete"
    fi
fi

# A few files for the per-file commands: MP3 and M4A first (the two formats
# audioHash knows), then whatever else the library has.
mapfile -t SOME < <(find "$LIBRARY" -type f \( -iname '*.mp3' -o -iname '*.m4a' \) | sort | head -3)
mapfile -t OTHER < <(find "$LIBRARY" -type f \( -iname '*.flac' -o -iname '*.ogg' \) | sort | head -1)
if [ ${#SOME[@]} -eq 0 ]; then
    mapfile -t SOME < <(find "$LIBRARY" -type f \( -iname '*.flac' -o -iname '*.ogg' -o -iname '*.wav' \) |
        sort | head -3)
fi
[ ${#SOME[@]} -gt 0 ] || { echo "demo: no audio files in $LIBRARY" >&2; exit 1; }

section "The helper"
run version
run extensions --format table

section "Scanning $LIBRARY"
SCAN="$BUILD/demo-scan.jsonl"
printf '%s$ ostra-host scan %s --ext %s --batch 50 > %s%s\n' "$bold" "$(shown "$LIBRARY")" "$EXTS" \
    "$(shown "$SCAN")" "$plain"
"$HOST" scan "$LIBRARY" --ext "$EXTS" --batch 50 >"$SCAN"
python3 - "$SCAN" <<'EOF'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
songs = [r for r in records if r.get("objectType") == "song"]
print(f"{len(records)} JSON lines; the first songs:")
for r in songs[:5]:
    print(f"  {r.get('artist', '?'):<20} {r.get('album', '?'):<14} {r.get('title', '?'):<12} {r['path'].rsplit('/', 1)[-1]}")
if len(songs) > 5:
    print(f"  ... and {len(songs) - 5} more")
byid = {r["id"]: r for r in songs + [r for r in records if r.get("objectType") == "replacement"] if "id" in r}
for r in records:
    kind = r.get("objectType")
    if kind in ("duplicate", "replacement"):
        kept = byid.get(r["duplicateOf"], {}).get("path", r["duplicateOf"])
        verb = "replaces" if kind == "replacement" else "is a copy of"
        print(f"{kind}: {r['path']}\n    {verb} {kept} (matched by {r['type']})")
report = records[-1]
print(f"report: {report.get('uniqueSongCount')} songs, {report.get('duplicateCount')} duplicates, "
      f"{report.get('playlistCount')} playlists")
EOF

section "Tags"
run tags --format table "${SOME[@]}"

section "Audio hashes (the payload only: retagging keeps the hash)"
run hash --format table "${SOME[@]}"

section "Fingerprints"
run fingerprint --format table --types CMX,MICRO,NANO "${SOME[0]}" "${OTHER[@]}"

section "Conversion to WAV"
WAVDIR="$BUILD/demo-wav"
rm -rf "$WAVDIR"
mkdir -p "$WAVDIR"
cp "${SOME[0]}" "$WAVDIR/"
COPY="$WAVDIR/$(basename "${SOME[0]}")"
run wav --format table "$COPY"
ls -l "$WAVDIR" | tail -n +2

section "The machine"
run sysinfo --format table
run device-id --format table
run keep-awake -- echo "a command that runs while the machine is kept awake"

printf '\nThe tour took %ss. Try: %s scan DIR | jq ., or %s --help\n' \
    "$(($(date +%s) - started))" "$HOST" "$HOST"
