#!/usr/bin/env python3
"""Writes audio files whose metadata would keep FFmpeg busy for many seconds or
make it allocate hundreds of megabytes, each built around a real audio file
made by ffmpeg: crafted_metadata.py KIND BASE OUTPUT. Every KIND is a row of
the crafted-metadata table in CraftedMetadataE2ETest.cpp."""
import struct
import sys
import zlib


le32 = lambda n: struct.pack("<I", n)
be32 = lambda n: struct.pack(">I", n)


def vorbis_comment(fields):
    out = le32(1) + b"x" + le32(len(fields))
    return out + b"".join(le32(len(f)) + f for f in fields)


def distinct(count, key_length=0):
    """KEY=v fields, each key different; long keys differ in their last eight bytes."""
    if key_length:
        return [b"K" * (key_length - 8) + b"%08d=v" % i for i in range(count)]
    return [b"K%d=v" % i for i in range(count)]


# FLAC: the base's blocks with one Vorbis comment block in place of its own.
def flac_with_comments(base, fields):
    assert base[:4] == b"fLaC"
    pos, blocks = 4, []
    while True:
        kind, length = base[pos] & 0x7F, int.from_bytes(base[pos + 1:pos + 4], "big")
        if kind != 4:
            blocks.append((kind, base[pos + 4:pos + 4 + length]))
        last = base[pos] & 0x80
        pos += 4 + length
        if last:
            break
    blocks.append((4, vorbis_comment(fields)))
    out = b"fLaC"
    for i, (kind, body) in enumerate(blocks):
        out += bytes([kind | (0x80 if i == len(blocks) - 1 else 0)])
        out += len(body).to_bytes(3, "big") + body
    return out + base[pos:]


# Ogg: pages with their checksums (polynomial 0x04C11DB7, MSB first).
CRC = []
for i in range(256):
    r = i << 24
    for _ in range(8):
        r = ((r << 1) ^ 0x04C11DB7) if r & 0x80000000 else r << 1
    CRC.append(r & 0xFFFFFFFF)


def ogg_page(flags, granule, serial, sequence, lacing, body):
    page = bytearray(b"OggS\0" + bytes([flags]) + struct.pack("<qII", granule, serial, sequence)
                     + b"\0\0\0\0" + bytes([len(lacing)]) + bytes(lacing) + body)
    crc = 0
    for byte in page:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ CRC[((crc >> 24) & 0xFF) ^ byte]
    page[22:26] = le32(crc)
    return bytes(page)


def ogg_pages(data):
    pos, pages = 0, []
    while pos < len(data):
        segments = data[pos + 26]
        lacing = data[pos + 27:pos + 27 + segments]
        end = pos + 27 + segments + sum(lacing)
        pages.append((data[pos:pos + 27], lacing, data[pos + 27 + segments:end]))
        pos = end
    return pages


def ogg_packets_as_pages(packets, serial, sequence, flags):
    lacing, body = [], b""
    for packet in packets:
        lacing += [255] * (len(packet) // 255) + [len(packet) % 255]
        body += packet
    out, pos, continued = b"", 0, 0
    while lacing:
        take, lacing = lacing[:255], lacing[255:]
        out += ogg_page(flags | continued, 0, serial, sequence, take, body[pos:pos + sum(take)])
        pos += sum(take)
        sequence, flags = sequence + 1, 0
        continued = 1 if take[-1] == 255 else 0
    return out, sequence


def ogg_renumbered(page, sequence):
    header, lacing, body = page
    granule, serial = struct.unpack("<qI", header[6:18])
    return ogg_page(header[5], granule, serial, sequence, lacing, body)


def vorbis_with_comments(base, fields, mid_stream):
    """The base's Vorbis headers with the comment header replaced, or, mid
    stream, a second comment packet two thirds into the audio."""
    pages = ogg_pages(base)
    serial = struct.unpack("<I", pages[0][0][14:18])[0]
    packets, current, first_audio = [], b"", 0
    for index, (_, lacing, body) in enumerate(pages):
        pos = 0
        for size in lacing:
            current += body[pos:pos + size]
            pos += size
            if size < 255:
                packets.append(current)
                current = b""
        if len(packets) >= 3:
            first_audio = index + 1
            break
    comment = b"\x03vorbis" + vorbis_comment(fields) + b"\x01"
    headers = packets[:3] if mid_stream else [packets[0], comment, packets[2]]
    out, sequence = ogg_packets_as_pages(headers[:1], serial, 0, 2)
    more, sequence = ogg_packets_as_pages(headers[1:], serial, sequence, 0)
    out += more
    audio = pages[first_audio:]
    for index, page in enumerate(audio):
        if mid_stream and index == 2 * len(audio) // 3:
            more, sequence = ogg_packets_as_pages([comment], serial, sequence, 0)
            out += more
        out += ogg_renumbered(page, sequence)
        sequence += 1
    return out


# ID3v2.
synchsafe = lambda n: bytes([(n >> shift) & 0x7F for shift in (21, 14, 7, 0)])
id3_frame = lambda name, body, flags=0: name + synchsafe(len(body)) + struct.pack(">H", flags) + body
id3_tag = lambda frames: b"ID3\x04\0\0" + synchsafe(len(b"".join(frames))) + b"".join(frames)


user_texts = lambda count, prefix=b"": [id3_frame(b"TXXX", b"\x03" + prefix + b"d%d\0v" % i)
                                        for i in range(count)]


def compressed_texts(count, size):
    """Text frames of `size` bytes each, compressed (ID3v2.4 flags: compressed,
    with a data length indicator)."""
    text = b"\x00" + b"a" * size
    packed = synchsafe(len(text)) + zlib.compress(text, 9)
    names = b"TIT2 TPE1 TALB TCON TCOM TIT1 TIT3 TEXT TOPE TPUB TENC TSSE TOAL TOLY TPE2 TPE3 " \
            b"TPE4 TMOO TSOA TSOP".split()
    return [id3_frame(names[i % len(names)], packed, 0x0009) for i in range(count)]


# RIFF and AIFF chunks.
def chunk(name, body, big_endian=False):
    size = struct.pack(">I" if big_endian else "<I", len(body))
    return name + size + body + (b"\0" if len(body) & 1 else b"")


def riff_chunks(data, big_endian):
    pos, out = 12, []
    while pos + 8 <= len(data):
        size = struct.unpack(">I" if big_endian else "<I", data[pos + 4:pos + 8])[0]
        out.append((data[pos:pos + 4], data[pos + 8:pos + 8 + size]))
        pos += 8 + size + (size & 1)
    return out


def with_zeros_before_audio(base, zeros):
    """A WAV file with `zeros` zero bytes, empty nameless chunks to FFmpeg,
    before its audio."""
    at = base.index(b"data", 12)
    size = len(base) - 8 + zeros
    return [base[:4] + le32(size) + base[8:at], zeros, base[at:]]


def with_chunks_before_audio(base, extra, big_endian):
    audio = b"SSND" if big_endian else b"data"
    body = base[8:12]
    for name, data in riff_chunks(base, big_endian):
        if name == audio:
            body += extra
        if name != b"LIST":
            body += chunk(name, data, big_endian)
    return base[:4] + struct.pack(">I" if big_endian else "<I", len(body)) + body


# MP4: the base's top-level boxes, its 'moov' (after the audio, as ffmpeg
# writes it) with a new 'udta' holding one 'ilst'.
box = lambda name, body: be32(8 + len(body)) + name + body


def boxes(data, pos, end):
    out = []
    while pos + 8 <= end:
        size = struct.unpack(">I", data[pos:pos + 4])[0]
        out.append((data[pos + 4:pos + 8], data[pos:pos + size]))
        pos += size
    return out


def m4a_with_items(base, count):
    items = b"".join(box(b"----", box(b"mean", b"\0\0\0\0com.apple.iTunes")
                         + box(b"name", b"\0\0\0\0k%d" % i)
                         + box(b"data", be32(1) + be32(0) + b"v")) for i in range(count))
    handler = box(b"hdlr", b"\0" * 8 + b"mdirappl" + b"\0" * 9)
    udta = box(b"udta", box(b"meta", b"\0\0\0\0" + handler + box(b"ilst", items)))
    out = b""
    for name, whole in boxes(base, 0, len(base)):
        if name == b"moov":
            children = boxes(whole, 8, len(whole))
            whole = box(b"moov", b"".join(b for n, b in children if n != b"udta") + udta)
        out += whole
    return out


def m4a_with_moov_tail(base, tail, zeros=0):
    """The base with `tail` and `zeros` zero bytes more at the end of its
    'moov' (written last by ffmpeg), whose size then takes 64 bits."""
    out = b""
    for name, whole in boxes(base, 0, len(base)):
        if name == b"moov":
            body = whole[8:] + tail
            whole = be32(1) + b"moov" + struct.pack(">Q", 16 + len(body) + zeros) + body
        out += whole
    return [out, zeros]


def nested_sample_descriptions(size):
    """'wave' boxes every 16 bytes, each holding an 'stsd' to the end, which
    holds them all again."""
    body = bytearray(size)
    for at in range(0, size - 16, 16):
        struct.pack_into(">I4sI4s", body, at, size - at, b"wave", size - at - 8, b"stsd")
    return box(b"stsd", bytes(body))


def ape_tag(count, key_length):
    items = b"".join(le32(1) + le32(0) + b"K" * (key_length - 8) + b"%08d\0v" % i
                     for i in range(count))
    footer = lambda flags: b"APETAGEX" + struct.pack("<IIII", 2000, len(items) + 32, count, flags)
    return footer(0xA0000000) + b"\0" * 8 + items + footer(0x80000000) + b"\0" * 8


def cue_points(count):
    """A 'cue ' chunk of points whose ids fall: each chapter FFmpeg makes of
    one is looked for among all before it."""
    return chunk(b"cue ", le32(count) + b"".join(
        le32(count - i) + b"\0" * 16 + le32(i) for i in range(count)))


def ogg_sync_words(base, count):
    """The base's first page, then "OggS" over and over: FFmpeg reads and
    checksums the page each one announces."""
    header, lacing, body = ogg_pages(base)[0]
    return header + lacing + body + b"OggS" * count


KINDS = {
    "flac-100k-comments-one-key": lambda b: flac_with_comments(b, [b"K=v"] * 100000),
    "flac-3000-comments-1000-byte-keys": lambda b: flac_with_comments(b, distinct(3000, 1000)),
    "ogg-50k-comments": lambda b: vorbis_with_comments(b, distinct(50000), False),
    "ogg-50k-comments-mid-stream": lambda b: vorbis_with_comments(b, distinct(50000), True),
    "ogg-1m-sync-words": lambda b: ogg_sync_words(b, 1000000),
    "mp3-40k-id3v2-user-texts": lambda b: id3_tag(user_texts(40000)) + b,
    "mp3-id3v2-compressed-frames": lambda b: id3_tag(compressed_texts(20, 16000000)) + b,
    # A zero-sized frame with a zero first byte ends TagLib's walk as padding;
    # FFmpeg steps over it and inflates the frames after it.
    "mp3-id3v2-compressed-frames-after-empty-frame":
        lambda b: id3_tag([b"\0" * 10] + compressed_texts(20, 16000000)) + b,
    "wav-60k-info-items": lambda b: with_chunks_before_audio(b, chunk(b"LIST", b"INFO" + b"".join(
        chunk(struct.pack(">I", 0x41414141 + i), b"v\0") for i in range(60000))), False),
    "wav-60k-cue-points": lambda b: with_chunks_before_audio(b, cue_points(60000), False),
    "aiff-5000-id3v2-chunks": lambda b: with_chunks_before_audio(b, b"".join(
        chunk(b"ID3 ", id3_tag(user_texts(1, b"%d_" % i)), True) for i in range(5000)), True),
    "m4a-50k-ilst-items": lambda b: m4a_with_items(b, 50000),
    "aac-20k-ape-fields-200-byte-keys": lambda b: b + ape_tag(20000, 200),
    "m4a-nested-sample-descriptions":
        lambda b: m4a_with_moov_tail(b, nested_sample_descriptions(1 << 20)),
    # Zeros are written sparse: a gigabyte of them costs no disk.
    "m4a-2g-meta-without-handler": lambda b: m4a_with_moov_tail(
        b, be32(1) + b"meta" + struct.pack(">Q", 16 + (2 << 30)), 2 << 30),
    "mp3-1g-id3v2-padding": lambda b: [b"ID3\3\0\0\x7f\x7f\x7f\x7f", (1 << 28) - 1] * 4 + [b],
    "wav-1g-zeros-before-audio": lambda b: with_zeros_before_audio(b, 1 << 30),
}

if __name__ == "__main__":
    kind, base, output = sys.argv[1:4]
    with open(base, "rb") as f:
        data = KINDS[kind](f.read())
    with open(output, "wb") as f:
        # Bytes, or pieces of bytes and counts of zero bytes to skip over.
        for piece in data if isinstance(data, list) else [data]:
            if isinstance(piece, int):
                f.seek(piece, 1)
            else:
                f.write(piece)
        f.truncate()
