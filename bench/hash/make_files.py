#!/usr/bin/env python3
"""Builds the benchmark set: tagged MP3 files (an ffmpeg-encoded stream
repeated to size, so the frames stay valid) and tagged ALAC M4A files encoded
by ffmpeg. Prints the paths, one a line. Files already present are kept."""
import os
import subprocess
import sys

MP3_FILES = 4
MP3_BYTES = 135_000_000
M4A_FILES = 4
M4A_SECONDS = 15 * 60


def ffmpeg(args, out):
    subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"] + args + [out],
                   check=True)


def id3v2_size(data):
    if data[:3] != b"ID3":
        return 0
    size = 0
    for b in data[6:10]:
        size = size * 128 + (b & 0x7F)
    return 10 + size


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    paths = []

    seed = os.path.join(folder, "seed.mp3")
    if not os.path.exists(seed):
        ffmpeg(["-f", "lavfi", "-i", "anoisesrc=d=60:c=pink:a=0.3", "-ac", "2", "-c:a", "libmp3lame",
                "-b:a", "320k", "-metadata", "title=Seed", "-metadata", "artist=Bench",
                "-write_id3v1", "1"], seed)
    data = open(seed, "rb").read()
    start = id3v2_size(data)
    tag, audio, trailer = data[:start], data[start:-128], data[-128:]
    for i in range(MP3_FILES):
        path = os.path.join(folder, "track%02d.mp3" % i)
        if not os.path.exists(path) or os.path.getsize(path) < MP3_BYTES:
            with open(path + ".part", "wb") as out:
                out.write(tag)
                written = 0
                while written < MP3_BYTES:
                    out.write(audio)
                    written += len(audio)
                out.write(trailer)
            os.replace(path + ".part", path)
        paths.append(path)

    for i in range(M4A_FILES):
        path = os.path.join(folder, "track%02d.m4a" % i)
        if not os.path.exists(path):
            ffmpeg(["-f", "lavfi", "-i", "anoisesrc=d=%d:c=pink:a=0.3:seed=%d" % (M4A_SECONDS, i + 1),
                    "-ac", "2", "-c:a", "alac", "-metadata", "title=Track %d" % i, "-f", "ipod"],
                   path + ".part")
            os.replace(path + ".part", path)
        paths.append(path)

    for path in paths:
        print(path)


if __name__ == "__main__":
    main()
