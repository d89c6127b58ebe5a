#!/usr/bin/python3
"""Tag edits the ffmpeg command line cannot make, for the metadata test fixtures.

comm FILE VERSION TEXT      add an ID3v2 COMM frame (VERSION 3 or 4) to an MP3
wavid3 FILE                 give a WAV file an ID3v2 chunk with the test fields
flacid3 FILE TPE2           put an ID3v2 tag holding only TPE2 before a FLAC stream
oggspaced FILE VALUE        keep only "ALBUM ARTIST" as the Ogg Vorbis album artist
chapters FILE               add a table of contents and three chapters (ID3v2.4), each
                            with an embedded title, as podcasts carry them
"""
import sys

from mutagen import id3, oggvorbis, wave


def main(argv):
    cmd, path = argv[1], argv[2]
    if cmd == "comm":
        tags = id3.ID3(path)
        tags.delall("COMM")
        tags.add(id3.COMM(encoding=3, lang="eng", desc="", text=argv[4]))
        tags.save(v2_version=int(argv[3]))
    elif cmd == "wavid3":
        audio = wave.WAVE(path)
        if audio.tags is None:
            audio.add_tags()
        audio.tags.add(id3.TIT2(encoding=3, text="T\u00eftle"))
        audio.tags.add(id3.TPE1(encoding=3, text="Artist"))
        audio.tags.add(id3.TALB(encoding=3, text="Album"))
        audio.tags.add(id3.TCON(encoding=3, text="Rock"))
        audio.tags.add(id3.TRCK(encoding=3, text="7"))
        audio.tags.add(id3.TPE2(encoding=3, text="\u00c5lbum \u00c4rtist"))
        audio.save()
    elif cmd == "flacid3":
        tags = id3.ID3()
        tags.add(id3.TPE2(encoding=3, text=argv[3]))
        tags.save(path, v2_version=4)
    elif cmd == "oggspaced":
        audio = oggvorbis.OggVorbis(path)
        for key in list(audio.keys()):
            if key.lower() in ("albumartist", "album_artist", "album artist"):
                del audio[key]
        audio["ALBUM ARTIST"] = [argv[3]]
        audio.save()
    elif cmd == "chapters":
        tags = id3.ID3(path)
        ids = ["ch%d" % i for i in range(3)]
        tags.add(id3.CTOC(element_id="toc", flags=id3.CTOCFlags.TOP_LEVEL | id3.CTOCFlags.ORDERED,
                          child_element_ids=ids, sub_frames=[id3.TIT2(encoding=3, text="Contents")]))
        for i, element in enumerate(ids):
            tags.add(id3.CHAP(element_id=element, start_time=i * 1000, end_time=(i + 1) * 1000,
                              start_offset=0xFFFFFFFF, end_offset=0xFFFFFFFF,
                              sub_frames=[id3.TIT2(encoding=3, text="Part %d" % (i + 1))]))
        tags.save(v2_version=4)
    else:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
