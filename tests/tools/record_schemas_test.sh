#!/usr/bin/env bash
# Holds every record the tests saw against the JSON Schemas, once a log of
# crafted bad records is refused line by line.
# Usage: record_schemas_test.sh PYTHON SOURCE_DIR RECORD_LOG
set -uo pipefail
PYTHON=${1:?python}
SRC=${2:?source folder}
LOG=${3:?record log}
CHECK="$SRC/tools/check-records"
"$PYTHON" -c 'import jsonschema' 2>/dev/null || { echo "SKIP: $PYTHON has no jsonschema"; exit 77; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# One wrong thing a line, each of a kind a broken helper could send.
"$PYTHON" - "$WORK/bad.jsonl" <<'PY'
import json, sys
song = {"objectType": "song", "path": "/m/a.mp3", "id": "mamp3", "artistMetadataKey": "",
        "albumArtistMetadataKey": ""}
report = {"objectType": "report", "duplicateCount": 0, "uniqueSongCount": 1, "playlistCount": 0}
def response(command, data, done=True):
    return {"session": "t", "direction": "response", "command": command,
            "envelope": {"data": data, "done": done, "duration": 0, "id": 1}}
bad = [
    response("scanDirectory", [dict(song, path=None), report]),                 # path not a text
    response("scanDirectory", [song]),                                           # done without report
    response("scanDirectory", [{"objectType": "duplicate", "path": "/m/b.mp3", "duplicateOf": "x",
                                "type": "title", "key": "k"}, report]),          # unknown duplicate type
    response("scanMediaLibs", [{"objectType": "playlist", "source": "iTunes", "songs": [1]}, report]),
    response("extractMetadataFromFiles", [{"path": "/m/a.mp3", "id": "mamp3", "size": None,
                                           "duration": 1, "trackNumber": 1}], done=False),  # tags give numbers
    response("audioHash", [{"hash": "ABC", "path": "/m/a.mp3"}], done=False),    # not 40 hex digits
    {"session": "t", "direction": "response", "command": None,
     "envelope": {"data": 1, "done": True, "id": 1}},                            # no duration
    {"session": "t", "direction": "request", "command": None,
     "envelope": {"cmd": "fingerprints", "id": 2,
                  "arg": {"fingerprintTypes": ["micro"], "filePaths": []}}},     # unknown type
]
with open(sys.argv[1], "w") as f:
    for line in bad:
        f.write(json.dumps(line) + "\n")
print(len(bad))
PY
# Debian's jsonschema, and a later one where python3 on PATH has it (it
# resolves references another way).
interpreters=("$PYTHON")
other=$(command -v python3)
if [ -n "$other" ] && [ "$(readlink -f "$other")" != "$(readlink -f "$PYTHON")" ] &&
    "$other" -c 'import jsonschema' 2>/dev/null; then
    interpreters+=("$other")
fi
status=0
for python in "${interpreters[@]}"; do
    "$python" "$CHECK" "$WORK/bad.jsonl" >"$WORK/bad.out" 2>&1
    rc=$?
    refused=$(grep -c '^/.*bad.jsonl:[0-9]*:' "$WORK/bad.out")
    lines=$(wc -l <"$WORK/bad.jsonl")
    if [ "$rc" -ne 1 ] || [ "$(grep -o '^/.*bad.jsonl:[0-9]*:' "$WORK/bad.out" | sort -u | wc -l)" -ne "$lines" ]; then
        tail -20 "$WORK/bad.out"
        echo "FAIL ($python): the schemas let bad records through ($refused refusals for $lines bad lines)" >&2
        status=1
    fi
    echo "with $python:"
    "$python" "$CHECK" "$LOG" "$SRC/schemas" || status=1
done
exit $status
