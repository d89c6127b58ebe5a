#!/usr/bin/env bash
# "scanMediaLibs" over library documents of hostile shapes: one construct (a
# comment, an attribute value, an element name, a text node, a CDATA section,
# a processing instruction, a DOCTYPE internal subset, ...) fills nearly all
# of the document. Prints, per shape, the seconds to the last response (or
# that none came within LIMIT), the helper's peak memory and what it printed.
# The goal: every shape answered in under 5 s at 100 MB.
# Usage: bench/itunes/long_tokens.sh [BUILD] [DATA_DIR]
# Environment: MEGABYTES (default 100), LIMIT seconds (default 60), SHAPES.
set -euo pipefail
BUILD=${1:-build}
DATA=${2:-${TMPDIR:-/tmp}/ostra-bench-itunes-shapes}
HERE=$(cd "$(dirname "$0")" && pwd)
MEGABYTES=${MEGABYTES:-100}
LIMIT=${LIMIT:-60}
SHAPES=${SHAPES:-$(/usr/bin/python3 "$HERE/make_shape.py" --list)}

cmake --build "$BUILD" --target itunes_bench ostra-native -j2 >/dev/null
printf '%-24s %10s %10s  %s\n' shape seconds "peak MB" printed
for shape in $SHAPES; do
    home="$DATA/$MEGABYTES/$shape"
    lib="$home/Music/iTunes/iTunes Music Library.xml"
    mkdir -p "$(dirname "$lib")"
    [ -s "$lib" ] || /usr/bin/python3 "$HERE/make_shape.py" "$lib" "$shape" "$MEGABYTES"
    cat "$lib" >/dev/null
    out=$("$BUILD/bench/itunes/itunes_bench" document "$home" "$LIMIT")
    printf '%-24s %10s %10.0f  %s\n' "$shape" \
        "$(echo "$out" | awk '/^DOCUMENT_SECONDS/ {print $2}')" \
        "$(echo "$out" | awk '/^DOCUMENT_PEAK_MB/ {print $2}')" \
        "$(echo "$out" | sed -n 's/^DOCUMENT_PRINTED //p')"
done
