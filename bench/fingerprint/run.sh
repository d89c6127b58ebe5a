#!/usr/bin/env bash
# "fingerprints" with ["CMX"] end to end against a loop of `fpcalc -length 120`
# over the same generated files of 60 to 300 seconds (warm cache), best of
# ROUNDS runs each; and ["MICRO"] alone against ["CMX"] on the files longer
# than two minutes; then the helper pinned to one and to two processors
# (SCALING=0 skips that). Wall-clock figures are the goals; CPU-second figures
# are printed too, since on a shared machine wall time mostly measures the
# neighbours.
# Usage: bench/fingerprint/run.sh [BUILD] [DATA_DIR]
# The data folder (about 60 MB) is kept for the next run; remove it by hand.
set -euo pipefail
# The readers are measured, not the file cache: every helper of this benchmark reads afresh.
export OSTRA_CACHE=off
BUILD=${1:-build}
DATA=${2:-${TMPDIR:-/tmp}/ostra-bench-fingerprint}
ROUNDS=${ROUNDS:-5}
SCALING=${SCALING:-1}

cmake --build "$BUILD" --target fingerprint_bench ostra-native -j2 >/dev/null
mkdir -p "$DATA"

# Distinct synthetic pieces: a note sequence per seed over faint noise.
make_file() {  # seconds seed file [codec args...]
    local seconds=$1 seed=$2 out=$3
    shift 3
    [ -s "$out" ] && return 0
    local e="0.35*sin(2*PI*t*110*pow(2,mod(floor(t*$((3 + seed % 4)))*$((5 + seed % 7))+$((seed * 3)),24)/12))"
    e="$e+0.2*sin(2*PI*t*165*pow(2,mod(floor(t*3)*$((2 + seed % 5))+$seed,19)/12))"
    e="$e+0.15*sin(2*PI*t*55*pow(2,mod(floor(t)*$((seed + 3)),12)/12))+0.03*(random(0)-0.5)"
    ffmpeg -nostdin -v error -y -f lavfi -i "aevalsrc=exprs='$e':s=22050:d=$seconds" \
        -ac 2 -ar 44100 "$@" "$out.part.${out##*.}"
    mv "$out.part.${out##*.}" "$out"
}

FILES=()
LONG=()
i=0
for piece in 60:mp3 80:m4a 100:mp3 130:flac 150:mp3 170:ogg 190:mp3 210:m4a 240:mp3 \
    260:flac 280:mp3 300:ogg; do
    i=$((i + 1))
    seconds=${piece%%:*}
    ext=${piece##*:}
    case $ext in
        ogg) args=(-c:a libvorbis) ;;
        m4a) args=(-c:a aac -b:a 192k) ;;
        mp3) args=(-c:a libmp3lame -b:a 192k) ;;
        *) args=() ;;
    esac
    file="$DATA/piece$i-${seconds}s.$ext"
    make_file "$seconds" "$((100 + i))" "$file" "${args[@]}"
    FILES+=("$file")
    [ "$seconds" -gt 120 ] && LONG+=("$file")
done
printf '%s\n' "${FILES[@]}" >"$DATA/list.txt"
printf '%s\n' "${LONG[@]}" >"$DATA/long.txt"
cat "${FILES[@]}" >/dev/null

# shellcheck source=../common/best_of.sh
. "$(dirname "$0")/../common/best_of.sh"

# fpcalc exits with status 3 on files shorter than -length; that is not a failure here.
read -r FPCALC_S FPCALC_CPU < <(best_of bash -c \
    'for f in "$@"; do fpcalc -length 120 "$f" >/dev/null 2>&1 || [ $? -eq 3 ]; done' _ "${FILES[@]}")
OURS=$("$BUILD/bench/fingerprint/fingerprint_bench" "$DATA/list.txt" "$DATA/long.txt" "$ROUNDS")
echo "$OURS"
N=${#FILES[@]}
ONE=$(echo "$OURS" | awk '/^cmx_one_request_files_per_s/ {print $2}')
ONE_CPU=$(echo "$OURS" | awk '/^cmx_one_request_files_per_cpu_s/ {print $2}')
TWO=$(echo "$OURS" | awk '/^cmx_two_requests_files_per_s/ {print $2}')
FPCALC=$(echo "$N / $FPCALC_S" | bc -l)
FPCALC_PER_CPU=$(echo "$N / $FPCALC_CPU" | bc -l)
printf 'fpcalc_files_per_s %.2f (%.2f s, %.2f cpu-s)\n' "$FPCALC" "$FPCALC_S" "$FPCALC_CPU"
printf 'ratio_one_request_vs_fpcalc %.2f (goal 2.6), per cpu-second %.2f\n' \
    "$(echo "$ONE / $FPCALC" | bc -l)" "$(echo "$ONE_CPU / $FPCALC_PER_CPU" | bc -l)"
printf 'ratio_two_requests_vs_fpcalc %.2f (goal 2.6)\n' "$(echo "$TWO / $FPCALC" | bc -l)"
if [ "$SCALING" = 1 ]; then
    # shellcheck source=../common/scaling.sh
    . "$(dirname "$0")/../common/scaling.sh"
    scaling fingerprints_cmx cmx_one_request_files_per_s \
        "$BUILD/bench/fingerprint/fingerprint_bench" "$DATA/list.txt" "$DATA/long.txt" "$ROUNDS" one
fi
