#!/usr/bin/env python3
"""Writes an iTunes-style library property list with plistlib.

Usage: make_library.py OUT TRACKS PLAYLISTS [--no-location] [--tracks-first]

Tracks carry the keys a real library has (mapped and unmapped ones, dates
as <date>); each playlist lists 100 tracks. With --no-location the tracks
have no "Location", so the scan drops them and the processor's tables stay
empty: what remains is the parser's own memory. Keys are sorted, as plistlib
writes them by default, so "Playlists" comes before "Tracks"; with
--tracks-first every dictionary keeps the order the desktop application
writes, "Tracks" first.
"""
import datetime
import plistlib
import sys


def main():
    out, tracks, playlists = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with_location = "--no-location" not in sys.argv[4:]
    tracks_first = "--tracks-first" in sys.argv[4:]
    added = datetime.datetime(2015, 3, 1, 12, 0, 0)
    library = {
        "Major Version": 1,
        "Minor Version": 1,
        "Application Version": "12.9.5.5",
        "Music Folder": "file:///Users/bench/Music/iTunes/iTunes%20Media/",
        "Library Persistent ID": "0123456789ABCDEF",
        "Tracks": {},
        "Playlists": [],
    }
    for i in range(tracks):
        artist = "Artist %d" % (i // 120)
        album = "Album %d" % (i // 12)
        track = {
            "Track ID": 1000 + i,
            "Name": "Track Title %d" % i,
            "Artist": artist,
            "Album Artist": artist,
            "Album": album,
            "Genre": "Rock",
            "Kind": "MPEG audio file",
            "Size": 4000000 + i,
            "Total Time": 180000 + i,
            "Disc Number": 1,
            "Disk Number": 1,
            "Track Number": i % 12 + 1,
            "Year": 2001,
            "Date Modified": added,
            "Date Added": added,
            "Bit Rate": 256,
            "Sample Rate": 44100,
            "Play Count": i % 7,
            "Play Date": 3600000000 + i,
            "Persistent ID": "%016X" % (0xABCDEF000000 + i),
            "Track Type": "File",
            "File Folder Count": 5,
            "Library Folder Count": 1,
        }
        if i % 10 == 0:
            track["Compilation"] = True
        if with_location:
            track["Location"] = (
                "file:///Users/bench/Music/iTunes/iTunes%%20Media/Music/Artist%%20%d/"
                "Album%%20%d/%02d%%20Track%%20Title%%20%d.mp3" % (i // 120, i // 12, i % 12 + 1, i))
        library["Tracks"][str(1000 + i)] = track
    library["Playlists"].append({
        "Name": "Library", "Master": True, "Playlist ID": 1, "Visible": False,
        "Playlist Persistent ID": "MASTER0000000000",
        "Playlist Items": [{"Track ID": 1000 + i} for i in range(tracks)],
    })
    for p in range(playlists):
        library["Playlists"].append({
            "Name": "Playlist %d" % p,
            "Playlist ID": 10 + p,
            "Playlist Persistent ID": "%016X" % (0x5000 + p),
            "All Items": True,
            "Playlist Items": [{"Track ID": 1000 + (p * 97 + k) % max(tracks, 1)}
                               for k in range(100)],
        })
    with open(out, "wb") as f:
        plistlib.dump(library, f, fmt=plistlib.FMT_XML, sort_keys=not tracks_first)


if __name__ == "__main__":
    main()
