#!/usr/bin/python3
"""Reads, with mutagen, the fields the helper's scan returns for every audio
file under DIR: title, artist, album, genre, track, length, album artist, the
mp3 comment id, the Apple Lossless probe and the size. Prints the file count.

Usage: mutagen_walk.py DIR
"""
import os
import re
import sys

import mutagen

EXTENSIONS = {".mp3", ".m4a", ".flac", ".ogg", ".wav", ".aiff", ".wma"}
DMID = re.compile(r"(2\d{8})")


def first(tags, *keys):
    for key in keys:
        try:
            value = tags.get(key)
        except (ValueError, KeyError):
            value = None
        if value:
            if isinstance(value, list):
                value = value[0]
            return str(value)
    return None


def read(path):
    audio = mutagen.File(path)
    if audio is None:
        return None
    tags = audio.tags or {}
    fields = {
        "title": first(tags, "TIT2", "\xa9nam", "title", "Title"),
        "artist": first(tags, "TPE1", "\xa9ART", "artist", "Author"),
        "album": first(tags, "TALB", "\xa9alb", "album", "WM/AlbumTitle"),
        "genre": first(tags, "TCON", "\xa9gen", "genre", "WM/Genre"),
        "albumArtist": first(tags, "TPE2", "aART", "albumartist", "album artist",
                             "WM/AlbumArtist"),
        "trackNumber": first(tags, "TRCK", "trkn", "tracknumber", "WM/TrackNumber"),
        "duration": int(audio.info.length) if audio.info else 0,
        "size": os.stat(path).st_size,
    }
    if path.endswith(".mp3"):
        comments = audio.tags.getall("COMM") if audio.tags else []
        match = DMID.search(str(comments[0])) if comments else None
        if match:
            fields["dmid"] = match.group(1)
    if path.lower().endswith(".m4a"):
        with open(path, "rb") as f:
            f.seek(350)
            window = f.read(150)
        codec = getattr(audio.info, "codec", "")
        if b"alac" in window or codec == "alac":
            fields["kind"] = "Apple Lossless audio file"
    return fields


def main():
    count = 0
    for folder, _, names in os.walk(sys.argv[1]):
        for name in names:
            if os.path.splitext(name)[1].lower() not in EXTENSIONS or name.startswith("."):
                continue
            if read(os.path.join(folder, name)) is not None:
                count += 1
    print(count)


if __name__ == "__main__":
    main()
