#!/usr/bin/env bash
# "scanMediaLibs" over a generated iTunes library of 50,000 tracks and 500
# playlists, end to end through the helper, against Python's plistlib loading
# the same file (Debian's python3, warm cache, best of ROUNDS each). The goal
# figure's host receives the records and decodes them once the last one is
# in; a second figure has the host decode each frame as it arrives (on two
# processors that decoder competes with the helper's two threads). Also:
# the same library without track locations (the processor's tables stay
# empty, so what is left is the parser's memory), and the media processor
# alone on 100,000 synthetic records (its memory must stay under 100 MB).
# Usage: bench/itunes/run.sh [BUILD] [DATA_DIR]
set -euo pipefail
# The readers are measured, not the file cache: every helper of this benchmark reads afresh.
export OSTRA_CACHE=off
BUILD=${1:-build}
DATA=${2:-${TMPDIR:-/tmp}/ostra-bench-itunes}
HERE=$(cd "$(dirname "$0")" && pwd)
ROUNDS=${ROUNDS:-3}
TRACKS=${TRACKS:-50000}
PLAYLISTS=${PLAYLISTS:-500}

cmake --build "$BUILD" --target itunes_bench ostra-native -j2 >/dev/null
# One folder per size, so a library kept from a run of another size is not reused.
DATA="$DATA/$TRACKS-$PLAYLISTS"
FULL="$DATA/full/Music/iTunes"
BARE="$DATA/bare/Music/iTunes"
mkdir -p "$FULL" "$BARE"
[ -s "$FULL/iTunes Music Library.xml" ] ||
    /usr/bin/python3 "$HERE/make_library.py" "$FULL/iTunes Music Library.xml" "$TRACKS" "$PLAYLISTS"
[ -s "$BARE/iTunes Music Library.xml" ] ||
    /usr/bin/python3 "$HERE/make_library.py" "$BARE/iTunes Music Library.xml" "$TRACKS" "$PLAYLISTS" --no-location
LIB="$FULL/iTunes Music Library.xml"
echo "library: $TRACKS tracks, $PLAYLISTS playlists, $(($(stat -c %s "$LIB") / 1000000)) MB"
cat "$LIB" "$BARE/iTunes Music Library.xml" >/dev/null

PEER=$(/usr/bin/python3 "$HERE/plistlib_load.py" "$LIB" "$ROUNDS")
echo "$PEER"
OURS=$("$BUILD/bench/itunes/itunes_bench" helper "$DATA/full" "$ROUNDS")
echo "$OURS"
BARE_OUT=$("$BUILD/bench/itunes/itunes_bench" helper "$DATA/bare" 1)
echo "without locations: $(echo "$BARE_OUT" | grep 'peak memory')"
EXPAT=$("$BUILD/bench/itunes/itunes_bench" expat "$LIB" "$ROUNDS")
echo "$EXPAT"
PROC=$("$BUILD/bench/itunes/itunes_bench" processor 100000)
echo "$PROC"
PROC50=$("$BUILD/bench/itunes/itunes_bench" processor "$TRACKS")
echo "$PROC50"

PEER_TPS=$(echo "$PEER" | awk '/PLISTLIB_TRACKS_PER_SECOND/ {print $2}')
SECONDS_OURS=$(echo "$OURS" | awk '/^HELPER_SECONDS/ {print $2}')
OURS_TPS=$(echo "$TRACKS / $SECONDS_OURS" | bc -l)
printf 'helper: %.0f tracks/s, plistlib: %.0f tracks/s, ratio %.2fx (goal >= 5x; the host receives the records and decodes them after the last one)\n' \
    "$OURS_TPS" "$PEER_TPS" "$(echo "$OURS_TPS / $PEER_TPS" | bc -l)"
SECONDS_DECODING=$(echo "$OURS" | awk '/^HELPER_DECODING_SECONDS/ {print $2}')
DECODING_TPS=$(echo "$TRACKS / $SECONDS_DECODING" | bc -l)
printf 'helper with a host that decodes as it receives: %.0f tracks/s, ratio %.2fx plistlib (the host'"'"'s decoder takes a core)\n' \
    "$DECODING_TPS" "$(echo "$DECODING_TPS / $PEER_TPS" | bc -l)"
printf 'CPU seconds: helper %s, plistlib %s, ratio %.2fx\n' \
    "$(echo "$OURS" | awk '/HELPER_CPU_SECONDS/ {print $2}')" \
    "$(echo "$PEER" | awk '/PLISTLIB_CPU_SECONDS/ {print $2}')" \
    "$(echo "$(echo "$PEER" | awk '/PLISTLIB_CPU_SECONDS/ {print $2}') / $(echo "$OURS" | awk '/HELPER_CPU_SECONDS/ {print $2}')" | bc -l)"
EXPAT_CPU=$(echo "$EXPAT" | awk '/EXPAT_CPU_SECONDS/ {print $2}')
printf 'expat alone: %.0f tracks/s, %.2fx plistlib: no scan of this file through expat can beat that\n' \
    "$(echo "$TRACKS / $EXPAT_CPU" | bc -l)" "$(echo "$(echo "$PEER" | awk '/PLISTLIB_CPU_SECONDS/ {print $2}') / $EXPAT_CPU" | bc -l)"
printf 'helper peak: %s MB with locations, %s MB without (idle %s MB); processor alone on 100,000 records: %s MB peak (goal < 100 MB)\n' \
    "$(echo "$OURS" | awk '/HELPER_PEAK_MB/ {print $2}')" \
    "$(echo "$BARE_OUT" | awk '/HELPER_PEAK_MB/ {print $2}')" \
    "$(echo "$OURS" | awk '/HELPER_IDLE_MB/ {print $2}')" \
    "$(echo "$PROC" | awk '/PROCESSOR_PEAK_MB/ {print $2}')"
