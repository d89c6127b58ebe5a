#!/usr/bin/env bash
# "audioHash" end to end against sha1sum and `openssl dgst -sha1` over the
# same files (warm cache), best of ROUNDS runs each. Wall-clock figures are
# the goal; CPU-second figures are printed too, since on a shared machine wall
# time mostly measures the neighbours.
# Usage: bench/hash/run.sh [BUILD] [DATA_DIR]
# The data folder (about 1.1 GB) is kept for the next run; remove it by hand.
set -euo pipefail
BUILD=${1:-build}
DATA=${2:-${TMPDIR:-/tmp}/ostra-bench-hash}
HERE=$(cd "$(dirname "$0")" && pwd)
ROUNDS=${ROUNDS:-3}

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
OURS=$("$BUILD/bench/hash/hash_bench" "$LIST" "$ROUNDS")
echo "$OURS"
ONE=$(echo "$OURS" | awk '/audiohash_one_request_MBps/ {print $2}')
ONE_CPU=$(echo "$OURS" | awk '/audiohash_one_request_MB_per_cpu_s/ {print $2}')
mbps() { echo "$BYTES / $1 / 1000000" | bc -l; }
SHA1SUM=$(mbps "$SHA1SUM_S")
OPENSSL=$(mbps "$OPENSSL_S")
printf 'sha1sum_MBps %.0f (%.0f MB per cpu-second)\n' "$SHA1SUM" "$(mbps "$SHA1SUM_CPU")"
printf 'openssl_dgst_MBps %.0f (%.0f MB per cpu-second)\n' "$OPENSSL" "$(mbps "$OPENSSL_CPU")"
printf 'ratio_vs_sha1sum %.2f (goal 1.5), per cpu-second %.2f\n' \
    "$(echo "$ONE / $SHA1SUM" | bc -l)" "$(echo "$ONE_CPU / $(mbps "$SHA1SUM_CPU")" | bc -l)"
printf 'ratio_vs_openssl %.2f (goal 0.85), per cpu-second %.2f\n' \
    "$(echo "$ONE / $OPENSSL" | bc -l)" "$(echo "$ONE_CPU / $(mbps "$OPENSSL_CPU")" | bc -l)"
