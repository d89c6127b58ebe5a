#!/usr/bin/env bash
# Generates a small tagged music library with ffmpeg: 30 songs over four
# artists in MP3, M4A, FLAC and Ogg Vorbis, plus two duplicates (a copy of an
# MP3 song in another folder, and the same song again as M4A), so a scan shows
# both kinds of duplicate handling. Each song is a few seconds of a chord
# whose notes depend on the song, so fingerprints differ from song to song.
# Usage: make-sample-library.sh DIR   (DIR is replaced)
set -euo pipefail
DIR=${1:?target folder}
JOBS=$(nproc 2>/dev/null || echo 2)

command -v ffmpeg >/dev/null || { echo "make-sample-library: ffmpeg is not installed" >&2; exit 1; }
rm -rf "$DIR"
mkdir -p "$DIR"

ARTISTS=("Velvet Harbor Trio" "Nine Lanterns" "Mara Quill" "Juniper Static")
ALBUMS=("Low Tide" "Night Ferry" "Copper Lines" "Open Windows")
CODECS=("mp3:libmp3lame -b:a 128k" "m4a:aac -b:a 96k" "flac:flac" "ogg:libvorbis -q:a 3")
TITLES=(Morning Harbour Lanterns Static Undertow Parade Glasshouse Embers Northbound Paper
        Driftwood Satellites Quiet Orchard Foxglove Meridian Saltwater Hollow Kite Ember
        Tidal Marigold Compass Lantern Signal Willow Breakwater Halcyon Aurora Cinder)

jobs_file="$DIR/.jobs"
: >"$jobs_file"
for i in $(seq 0 29); do
    a=$((i % 4))
    codec=${CODECS[$(((i / 4 + i) % 4))]}
    ext=${codec%%:*}
    args=${codec#*:}
    track=$((i / 4 + 1))
    folder="$DIR/${ARTISTS[$a]}/${ALBUMS[$a]}"
    file="$folder/$(printf '%02d' "$track") ${TITLES[$i]}.$ext"
    f1=$((220 + 37 * i))
    f2=$((330 + 53 * i))
    f3=$((495 + 71 * (i % 7)))
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$file" "$f1" "$f2" "$f3" "${TITLES[$i]}" \
        "${ARTISTS[$a]}" "${ALBUMS[$a]}" "$track" "$args" "$folder" >>"$jobs_file"
done

make_song() {
    IFS=$'\t' read -r file f1 f2 f3 title artist album track args folder <<<"$1"
    mkdir -p "$folder"
    # shellcheck disable=SC2086
    ffmpeg -nostdin -v error -y \
        -f lavfi -i "aevalsrc=0.3*sin(2*PI*$f1*t)*(1+sin(PI*t))/2+0.2*sin(2*PI*$f2*t)*(1+sgn(sin(2*PI*t)))/2+0.2*sin(2*PI*$f3*t)*(1-sgn(sin(2*PI*t)))/2:s=44100:d=8" \
        -metadata title="$title" -metadata artist="$artist" -metadata album_artist="$artist" \
        -metadata album="$album" -metadata track="$track" -metadata genre="Demo" \
        -c:a $args "$file"
}
export -f make_song
tr '\n' '\0' <"$jobs_file" | xargs -0 -P "$JOBS" -I{} bash -c 'make_song "$1"' _ {}
rm -f "$jobs_file"

# Duplicate 1: the same MP3 song copied into another folder.
first_mp3=$(find "$DIR" -name '*.mp3' | sort | head -1)
mkdir -p "$DIR/Copied From Phone"
cp "$first_mp3" "$DIR/Copied From Phone/"
# Duplicate 2: an MP3 song encoded again as M4A with the same tags.
second_mp3=$(find "$DIR" -path "$DIR/Copied From Phone" -prune -o -name '*.mp3' -print | sort | sed -n 2p)
mkdir -p "$DIR/Old Rips"
ffmpeg -nostdin -v error -y -i "$second_mp3" -map_metadata 0 -c:a aac -b:a 96k \
    "$DIR/Old Rips/$(basename "${second_mp3%.mp3}").m4a"

echo "sample library: $(find "$DIR" -type f | wc -l) files in $DIR"
