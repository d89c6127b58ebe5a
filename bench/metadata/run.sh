#!/usr/bin/env bash
# "extractMetadataFromFiles" over a tree of tagged files in every format, made
# by the scan benchmark's generator (warm cache): the helper with its default file workers against
# the same helper with one (OSTRA_FILE_WORKERS=1) and with none (0: every file
# read on the request's own thread, as before the file workers), in sessions
# that alternate, best of ROUNDS each; then the helper pinned to one and to two
# processors (SCALING=0 skips that). CPU-second figures are printed too, since
# on a shared machine wall time mostly measures the neighbours.
# Usage: bench/metadata/run.sh [BUILD]
# Environment: FILES (default 12000: a request of a quarter second or more, so
#              that CPU seconds counted in 10 ms ticks mean something),
#              TREE (default /tmp/ostra-metadatabench-$FILES), ROUNDS (default 5),
#              SCALING (default 1).
set -euo pipefail
# The readers are measured, not the file cache: every helper of this benchmark reads afresh.
export OSTRA_CACHE=off
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=${1:-build}
FILES=${FILES:-12000}
TREE=${TREE:-/tmp/ostra-metadatabench-$FILES}
ROUNDS=${ROUNDS:-5}
SCALING=${SCALING:-1}

cmake --build "$BUILD" --target metadata_bench ostra-native -j2 >/dev/null
if [ ! -f "$TREE/.complete" ]; then
    echo "generating $FILES files under $TREE ..."
    rm -rf "$TREE"
    /usr/bin/python3 "$HERE/../scan/make_tree.py" "$TREE" "$FILES"
    touch "$TREE/.complete"
fi
LIST=$(mktemp "${TMPDIR:-/tmp}/ostra-bench-metadata.XXXXXX")
trap 'rm -f "$LIST"' EXIT
find "$TREE" -type f ! -name .complete | sort >"$LIST"
xargs -d '\n' cat <"$LIST" >/dev/null

figure() {  # KEY OUTPUT: the first number after KEY
    echo "$2" | awk -v k="$1" '$1 == k {print $2; exit}'
}
best() { echo "if ($1 > $2) $1 else $2" | bc -l; }
declare -A FPS CPU
for workers in default 1 0; do
    FPS[$workers]=0
    CPU[$workers]=0
done
for _ in $(seq "$ROUNDS"); do
    for workers in default 1 0; do
        if [ "$workers" = default ]; then
            run=$("$BUILD/bench/metadata/metadata_bench" "$LIST" 1)
        else
            run=$(OSTRA_FILE_WORKERS=$workers "$BUILD/bench/metadata/metadata_bench" "$LIST" 1)
        fi
        FPS[$workers]=$(best "${FPS[$workers]}" "$(figure tags_one_request_files_per_s "$run")")
        CPU[$workers]=$(best "${CPU[$workers]}" "$(figure tags_one_request_files_per_cpu_s "$run")")
    done
done
echo "$run" | head -1
printf 'tags_files_per_s %.0f (%.0f per cpu-second), one file worker %.0f (%.0f), none %.0f (%.0f)\n' \
    "${FPS[default]}" "${CPU[default]}" "${FPS[1]}" "${CPU[1]}" "${FPS[0]}" "${CPU[0]}"
printf 'ratio_vs_one_worker %.2f (goal 1.7), per cpu-second %.2f\n' \
    "$(echo "${FPS[default]} / ${FPS[1]}" | bc -l)" "$(echo "${CPU[default]} / ${CPU[1]}" | bc -l)"
printf 'ratio_vs_no_worker %.2f (every file on the request thread), per cpu-second %.2f\n' \
    "$(echo "${FPS[default]} / ${FPS[0]}" | bc -l)" "$(echo "${CPU[default]} / ${CPU[0]}" | bc -l)"
if [ "$SCALING" = 1 ]; then
    # shellcheck source=../common/scaling.sh
    . "$HERE/../common/scaling.sh"
    scaling tags tags_one_request_files_per_s "$BUILD/bench/metadata/metadata_bench" "$LIST" "$ROUNDS"
fi
