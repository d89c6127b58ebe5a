#!/usr/bin/env bash
# "audioHash" end to end against sha1sum and `openssl dgst -sha1` over the
# same files (warm cache), and against the same helper with one file worker
# (OSTRA_FILE_WORKERS=1; sessions alternate with the default ones, so a slow
# spell of a shared machine cannot fall on one side only), best of ROUNDS runs
# each; then the helper pinned to one and to two processors (SCALING=0 skips
# that). Wall-clock figures are the goal; CPU-second figures are printed too,
# since on a shared machine wall time mostly measures the neighbours.
# Usage: bench/hash/run.sh [BUILD] [DATA_DIR]
# The data folder (about 1.1 GB) is kept for the next run; remove it by hand.
set -euo pipefail
# The readers are measured, not the file cache: every helper of this benchmark reads afresh.
export OSTRA_CACHE=off
BUILD=${1:-build}
DATA=${2:-${TMPDIR:-/tmp}/ostra-bench-hash}
HERE=$(cd "$(dirname "$0")" && pwd)
ROUNDS=${ROUNDS:-3}
SCALING=${SCALING:-1}

cmake --build "$BUILD" --target hash_bench ostra-native -j2 >/dev/null
mkdir -p "$DATA"
LIST="$DATA/list.txt"
python3 "$HERE/make_files.py" "$DATA" >"$LIST"
mapfile -t FILES <"$LIST"
BYTES=$(stat -c %s "${FILES[@]}" | awk '{s += $1} END {print s}')
cat "${FILES[@]}" >/dev/null

# shellcheck source=../common/best_of.sh
. "$(dirname "$0")/../common/best_of.sh"

read -r SHA1SUM_S SHA1SUM_CPU < <(best_of sha1sum "${FILES[@]}")
read -r OPENSSL_S OPENSSL_CPU < <(best_of openssl dgst -sha1 "${FILES[@]}")
figure() {  # KEY OUTPUT: the first number after KEY
    echo "$2" | awk -v k="$1" '$1 == k {print $2; exit}'
}
best() { echo "if ($1 > $2) $1 else $2" | bc -l; }
OURS=$("$BUILD/bench/hash/hash_bench" "$LIST" "$ROUNDS")
echo "$OURS"
ONE=$(figure audiohash_one_request_MBps "$OURS")
ONE_CPU=$(figure audiohash_one_request_MB_per_cpu_s "$OURS")
W1=0
W1_CPU=0
for _ in $(seq "$ROUNDS"); do
    run=$("$BUILD/bench/hash/hash_bench" "$LIST" 1 one)
    ONE=$(best "$ONE" "$(figure audiohash_one_request_MBps "$run")")
    ONE_CPU=$(best "$ONE_CPU" "$(figure audiohash_one_request_MB_per_cpu_s "$run")")
    run=$(OSTRA_FILE_WORKERS=1 "$BUILD/bench/hash/hash_bench" "$LIST" 1 one)
    W1=$(best "$W1" "$(figure audiohash_one_request_MBps "$run")")
    W1_CPU=$(best "$W1_CPU" "$(figure audiohash_one_request_MB_per_cpu_s "$run")")
done
mbps() { echo "$BYTES / $1 / 1000000" | bc -l; }
SHA1SUM=$(mbps "$SHA1SUM_S")
OPENSSL=$(mbps "$OPENSSL_S")
printf 'audiohash_best_MBps %.0f (%.0f MB per cpu-second), one file worker %.0f (%.0f MB per cpu-second)\n' \
    "$ONE" "$ONE_CPU" "$W1" "$W1_CPU"
printf 'sha1sum_MBps %.0f (%.0f MB per cpu-second)\n' "$SHA1SUM" "$(mbps "$SHA1SUM_CPU")"
printf 'openssl_dgst_MBps %.0f (%.0f MB per cpu-second)\n' "$OPENSSL" "$(mbps "$OPENSSL_CPU")"
printf 'ratio_vs_one_worker %.2f (goal 1.8), per cpu-second %.2f\n' \
    "$(echo "$ONE / $W1" | bc -l)" "$(echo "$ONE_CPU / $W1_CPU" | bc -l)"
printf 'ratio_vs_sha1sum %.2f (goal 1.5), per cpu-second %.2f\n' \
    "$(echo "$ONE / $SHA1SUM" | bc -l)" "$(echo "$ONE_CPU / $(mbps "$SHA1SUM_CPU")" | bc -l)"
printf 'ratio_vs_openssl %.2f (goal 1.8), per cpu-second %.2f\n' \
    "$(echo "$ONE / $OPENSSL" | bc -l)" "$(echo "$ONE_CPU / $(mbps "$OPENSSL_CPU")" | bc -l)"
if [ "$SCALING" = 1 ]; then
    # shellcheck source=../common/scaling.sh
    . "$(dirname "$0")/../common/scaling.sh"
    scaling audiohash audiohash_one_request_MBps "$BUILD/bench/hash/hash_bench" "$LIST" "$ROUNDS" one
fi
