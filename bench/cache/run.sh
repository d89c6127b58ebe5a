#!/usr/bin/env bash
# File-cache benchmark, in one run:
#   - "scanDirectory" of an unchanged generated library: the rescan (answered
#     from the cache) against the first scan with an empty cache, with a warm
#     page cache, and with a cold one where this user may drop it
#     (/proc/sys/vm/drop_caches; the rescan's cache file is cold too);
#   - "fingerprints" ["CMX"] of an unchanged library of hard links to a few
#     generated pieces: the second run against the first;
#   - the first scan with an empty cache against the helper with
#     OSTRA_CACHE=off, alternating, best of ROUNDS each.
# Every helper gets a cache file of this run's own; the user's is never used.
#
# Usage: bench/cache/run.sh [BUILD]     (BUILD defaults to build)
# Environment: FILES (default 20000), TREE (default /tmp/ostra-cachebench-$FILES),
#              PRINTS (default 400), ROUNDS (default 3), COLD=0 skips the
#              cold page cache figures.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
FILES=${FILES:-20000}
TREE=${TREE:-/tmp/ostra-cachebench-$FILES}
PRINTS=${PRINTS:-400}
ROUNDS=${ROUNDS:-3}
COLD=${COLD:-1}
PY=/usr/bin/python3
BENCH="$BUILD/bench/cache/cache_bench"
HELPER="$BUILD/ostra-native"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ostra-cachebench-run.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

cmake --build "$BUILD" -j2 --target ostra-native cache_bench >/dev/null

if [ ! -f "$TREE/.complete" ]; then
    echo "generating $FILES files under $TREE ..."
    rm -rf "$TREE"
    "$PY" "$HERE/../scan/make_tree.py" "$TREE" "$FILES"
    touch "$TREE/.complete"
fi

# Pieces of two minutes, each linked under PRINTS / 8 names: every path is a
# file of its own to the cache, as in a library of distinct songs.
PIECES="${TMPDIR:-/tmp}/ostra-cachebench-pieces"
mkdir -p "$PIECES"
for seed in 1 2 3 4 5 6 7 8; do
    out="$PIECES/piece$seed.mp3"
    [ -s "$out" ] && continue
    e="0.4*sin(2*PI*t*110*pow(2,mod(floor(t*$((2 + seed % 3)))*$((5 + seed)),24)/12))+0.03*(random(0)-0.5)"
    ffmpeg -nostdin -v error -y -f lavfi -i "aevalsrc=exprs='$e':s=44100:d=120" -ac 2 \
        -c:a libmp3lame -b:a 192k "$out.part.mp3"
    mv "$out.part.mp3" "$out"
done
mkdir -p "$WORK/prints"
for i in $(seq "$PRINTS"); do
    ln "$PIECES/piece$(((i - 1) % 8 + 1)).mp3" "$WORK/prints/$i.mp3"
done
find "$WORK/prints" -type f | sort -n >"$WORK/prints.txt"
# Linking changes each piece's status-change time; files changed less than two
# seconds ago are not remembered.
sleep 3

field() { awk -v k="$2" '{ for (i = 1; i < NF; ++i) if ($i == k) print $(i + 1) }' <<<"$1"; }
warm() { find "$TREE" -type f -exec cat {} + >/dev/null; }
# Where allowed: written back, then every clean page dropped.
drop() { sync && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; }

echo "library: $(find "$TREE" -type f ! -name .complete | wc -l) files under $TREE; $PRINTS fingerprint files"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) processors (a shared machine)"

# Warm: alternating helpers without a cache and with an empty one, then a
# rescan of each filled cache. Best of ROUNDS each.
warm
off_best="" first_best="" again_best=""
best() { if [ -z "$1" ] || awk -v a="$2" -v b="$1" 'BEGIN { exit !(a < b) }'; then echo "$2"; else echo "$1"; fi; }
for round in $(seq "$ROUNDS"); do
    off=$("$BENCH" scan "$HELPER" "$TREE" off)
    rm -f "$WORK"/scan.sqlite*
    first=$("$BENCH" scan "$HELPER" "$TREE" "$WORK/scan.sqlite")
    again=$("$BENCH" scan "$HELPER" "$TREE" "$WORK/scan.sqlite")
    echo "round $round: no cache: $off"
    echo "round $round: first scan, empty cache: $first"
    echo "round $round: rescan: $again"
    off_best=$(best "$off_best" "$(field "$off" seconds)")
    first_best=$(best "$first_best" "$(field "$first" seconds)")
    again_best=$(best "$again_best" "$(field "$again" seconds)")
done
echo "cache file after a scan: $(du -k "$WORK/scan.sqlite" | cut -f1) KiB"

cold_first="" cold_again=""
if [ "$COLD" = 1 ] && drop; then
    rm -f "$WORK"/cold.sqlite*
    drop
    first=$("$BENCH" scan "$HELPER" "$TREE" "$WORK/cold.sqlite")
    drop
    again=$("$BENCH" scan "$HELPER" "$TREE" "$WORK/cold.sqlite")
    echo "cold page cache: first scan, empty cache: $first"
    echo "cold page cache: rescan: $again"
    cold_first=$(field "$first" seconds)
    cold_again=$(field "$again" seconds)
    warm
else
    echo "cold page cache: skipped (COLD=0, or /proc/sys/vm/drop_caches is not writable here)"
fi

rm -f "$WORK"/prints.sqlite*
first=$("$BENCH" fingerprint "$HELPER" "$WORK/prints.txt" "$WORK/prints.sqlite")
again=$("$BENCH" fingerprint "$HELPER" "$WORK/prints.txt" "$WORK/prints.sqlite")
echo "fingerprints CMX, first run: $first"
echo "fingerprints CMX, second run: $again"

awk -v off="$off_best" -v first="$first_best" -v again="$again_best" \
    -v cf="$cold_first" -v ca="$cold_again" \
    -v pf="$(field "$first" seconds)" -v pa="$(field "$again" seconds)" 'BEGIN {
    printf "best of the warm rounds: no cache %.3f s, first scan %.3f s, rescan %.3f s\n", off, first, again
    printf "ratio rescan speed-up, warm: %.1f (goal >= 5)\n", first / again
    if (cf != "") printf "ratio rescan speed-up, cold page cache: %.1f (goal >= 10)\n", cf / ca
    printf "ratio fingerprints speed-up from the cache: %.0f (goal >= 100)\n", pf / pa
    printf "ratio first scan with an empty cache, speed against no cache: %.3f (goal >= 0.95)\n", off / first
}'
