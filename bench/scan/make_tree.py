#!/usr/bin/python3
"""Builds the scan benchmark's tree: COUNT tagged audio files in eight formats
(mp3 with ID3v2.3 and ID3v2.4, m4a AAC and ALAC, flac, ogg, wav, aiff, wma)
spread over artist/album folders, each with its own title, artist, album,
album artist, track and (for mp3) a comment holding a nine-digit id.

Usage: make_tree.py DIR COUNT
"""
import os
import shutil
import subprocess
import sys
import tempfile

from mutagen import aiff, asf, flac, id3, mp4, oggvorbis, wave

KINDS = [
    ("v23.mp3", ["-id3v2_version", "3"]),
    ("v24.mp3", ["-id3v2_version", "4"]),
    ("aac.m4a", ["-c:a", "aac"]),
    ("alac.m4a", ["-c:a", "alac"]),
    (".flac", []),
    (".ogg", ["-c:a", "libvorbis"]),
    (".wav", []),
    (".aiff", ["-write_id3v2", "1"]),
    (".wma", ["-c:a", "wmav2"]),
]


def make_base(folder, suffix, args):
    path = os.path.join(folder, "base" + suffix)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=1", "-metadata", "title=base"] + args + [path],
                   check=True)
    return path


def id3_frames(tags, n, fields):
    tags.delall("TIT2")
    tags.add(id3.TIT2(encoding=3, text=fields["title"]))
    tags.add(id3.TPE1(encoding=3, text=fields["artist"]))
    tags.add(id3.TALB(encoding=3, text=fields["album"]))
    tags.add(id3.TPE2(encoding=3, text=fields["albumartist"]))
    tags.add(id3.TCON(encoding=3, text="Rock"))
    tags.add(id3.TRCK(encoding=3, text=str(n % 20 + 1)))


def tag(path, n, fields):
    if path.endswith(".mp3"):
        tags = id3.ID3(path)
        id3_frames(tags, n, fields)
        tags.add(id3.COMM(encoding=3, lang="eng", desc="", text="ref 2%08d" % n))
        tags.save(v2_version=4 if "v24" in path else 3)
    elif path.endswith(".m4a"):
        audio = mp4.MP4(path)
        audio["\xa9nam"], audio["\xa9ART"], audio["\xa9alb"] = (
            fields["title"], fields["artist"], fields["album"])
        audio["aART"], audio["\xa9gen"] = fields["albumartist"], "Rock"
        audio["trkn"] = [(n % 20 + 1, 20)]
        audio.save()
    elif path.endswith(".flac") or path.endswith(".ogg"):
        audio = flac.FLAC(path) if path.endswith(".flac") else oggvorbis.OggVorbis(path)
        audio["title"], audio["artist"], audio["album"] = (
            fields["title"], fields["artist"], fields["album"])
        audio["albumartist"], audio["genre"] = fields["albumartist"], "Rock"
        audio["tracknumber"] = str(n % 20 + 1)
        audio.save()
    elif path.endswith(".wav") or path.endswith(".aiff"):
        audio = wave.WAVE(path) if path.endswith(".wav") else aiff.AIFF(path)
        if audio.tags is None:
            audio.add_tags()
        id3_frames(audio.tags, n, fields)
        audio.save()
    elif path.endswith(".wma"):
        audio = asf.ASF(path)
        audio["Title"], audio["Author"] = fields["title"], fields["artist"]
        audio["WM/AlbumTitle"], audio["WM/AlbumArtist"] = fields["album"], fields["albumartist"]
        audio["WM/Genre"], audio["WM/TrackNumber"] = "Rock", str(n % 20 + 1)
        audio.save()


def main():
    root, count = sys.argv[1], int(sys.argv[2])
    os.makedirs(root, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        bases = [(suffix, make_base(scratch, suffix, args)) for suffix, args in KINDS]
        for n in range(count):
            suffix, base = bases[n % len(bases)]
            artist = "Artist %03d" % (n // 40)
            album = "Album %04d" % (n // 10)
            folder = os.path.join(root, artist, album)
            os.makedirs(folder, exist_ok=True)
            name = ("%05d%s" if suffix.startswith(".") else "%05d-%s") % (n, suffix)
            path = os.path.join(folder, name)
            shutil.copyfile(base, path)
            tag(path, n, {"title": "Song %05d" % n, "artist": artist, "album": album,
                          "albumartist": "Various %02d" % (n % 50)})


if __name__ == "__main__":
    main()
