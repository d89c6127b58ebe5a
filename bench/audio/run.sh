#!/usr/bin/env bash
# "convertToWav" end to end against a shell loop of `ffmpeg -v error -i F -y F.wav`
# over the same generated files (every format, 30 to 300 s each, warm cache),
# and the helper's peak memory while converting 60-minute files.
# Usage: bench/audio/run.sh [BUILD] [DATA_DIR]
# The data folder (about 1.5 GB with outputs) is kept for the next run.
set -euo pipefail
# The readers are measured, not the file cache: every helper of this benchmark reads afresh.
export OSTRA_CACHE=off
BUILD=${1:-build}
DATA=${2:-${TMPDIR:-/tmp}/ostra-bench-audio}
HERE=$(cd "$(dirname "$0")" && pwd)
ROUNDS=${ROUNDS:-3}
DURATIONS=${DURATIONS:-"30 60 180 300"}
# WAV sources are left out: "convertToWav" skips them by design.
FORMATS="mp3 ogg aiff flac m4a-aac m4a-alac aac"

cmake --build "$BUILD" --target ostra-native -j2 >/dev/null
mkdir -p "$DATA"

encoder() {
    case $1 in
        mp3) echo "-c:a libmp3lame -b:a 192k" ;;
        ogg) echo "-c:a libvorbis -q:a 5" ;;
        aiff) echo "-c:a pcm_s16be" ;;
        flac) echo "-c:a flac" ;;
        m4a-aac) echo "-c:a aac -b:a 192k" ;;
        m4a-alac) echo "-c:a alac" ;;
        aac) echo "-c:a aac -b:a 192k -f adts" ;;
    esac
}
extension() {
    case $1 in
        m4a-*) echo m4a ;;
        *) echo "$1" ;;
    esac
}
# Music-like material: two tones with vibrato and some noise, different per channel.
SOURCE="aevalsrc='0.3*sin(2*PI*(440+20*sin(2*PI*t))*t)+0.1*random(0)|0.3*sin(2*PI*330*t)+0.1*random(1)':s=44100"

make_file() {  # format seconds path
    [ -s "$3" ] && return 0
    ffmpeg -nostdin -v error -y -f lavfi -i "$SOURCE:d=$2" $(encoder "$1") \
        -metadata title="bench $1 $2 s" -metadata artist="Ostra Bench" "$3.part.$(extension "$1")"
    mv "$3.part.$(extension "$1")" "$3"
}

ARGS=()
for f in $FORMATS; do
    mkdir -p "$DATA/$f"
    : >"$DATA/$f.list"
    for d in $DURATIONS; do
        p="$DATA/$f/t$d.$(extension "$f")"
        make_file "$f" "$d" "$p"
        echo "$p" >>"$DATA/$f.list"
    done
    ARGS+=("$f=$DATA/$f.list")
done
mkdir -p "$DATA/hour"
make_file mp3 3600 "$DATA/hour/hour.mp3"
make_file flac 3600 "$DATA/hour/hour.flac"
cat "$DATA"/*/* >/dev/null

# Best of ROUNDS wall-clock runs of the ffmpeg loop over one list, in seconds.
ffmpeg_loop() {
    local best="" list=$1
    for _ in $(seq "$ROUNDS"); do
        local start end t
        start=$(date +%s.%N)
        while read -r F; do ffmpeg -nostdin -v error -i "$F" -y "$F.wav"; done <"$list"
        end=$(date +%s.%N)
        t=$(echo "$end - $start" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

OURS=$(python3 "$HERE/convert_bench.py" "$BUILD/ostra-native" "$ROUNDS" "${ARGS[@]}" \
    --memory "$DATA/hour/hour.mp3" "$DATA/hour/hour.flac")
echo "$OURS"
worst=""
for f in $FORMATS; do
    n=$(wc -l <"$DATA/$f.list")
    ours=$(echo "$OURS" | awk -v k="ours_${f}_s" '$1 == k {print $2}')
    theirs=$(ffmpeg_loop "$DATA/$f.list")
    ratio=$(echo "($n / $ours) / ($n / $theirs)" | bc -l)
    printf '%-9s files %d  ours %.2f files/s  ffmpeg %.2f files/s  ratio %.2f\n' \
        "$f" "$n" "$(echo "$n / $ours" | bc -l)" "$(echo "$n / $theirs" | bc -l)" "$ratio"
    if [ -z "$worst" ] || [ "$(echo "$ratio < $worst" | bc -l)" = 1 ]; then worst=$ratio; fi
done
printf 'worst_ratio_vs_ffmpeg %.2f (goal 1.5)\n' "$worst"
echo "$OURS" | awk '/above_idle_MB/ {printf "peak_above_idle_MB %s for %s (goal < 64)\n", $4, $6}'
rm -f "$DATA"/*/*.wav
