#!/usr/bin/python3
"""Compares the helper's fingerprints with fpcalc's over a generated sweep of
formats, sample rates, channel counts and lengths, and prints "N of M
identical" for "CMX" (against `fpcalc -length 120 -plain`) and "MICRO"
(decoded, against `fpcalc -length 30 -plain`).

Every codec is tried at every sample rate it supports, mono and stereo, and a
few with more channels in usual and unusual speaker layouts; the
length rotates through values around the 30 and 120 second limits, and every
third file is mastered loud (peaks at full scale), where rounding differences
show first. Files fpcalc cannot read, and files under three seconds (which
"CMX" refuses as too short by design), are left out of M.

Usage: fpcalc_sweep.py [--build BUILD] [--data DIR] [--only SUBSTRING] [-j N]
The generated files (about 1.5 GB) and fpcalc's answers are kept in DIR for
the next run; remove it by hand.
"""
import argparse
import base64
import concurrent.futures
import json
import os
import subprocess
import sys

RATES = [8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000]
LOSSY_RATES = [8000, 11025, 16000, 22050, 32000, 44100, 48000]
LENGTHS = [29.6, 30.4, 119.6, 120.4, 47.0, 12.3, 30.0, 120.0]

# name, extension, ffmpeg arguments, sample rates
CODECS = [
    ("mp3cbr", "mp3", ["-c:a", "libmp3lame", "-b:a", "160k"], LOSSY_RATES),
    ("mp3vbr", "mp3", ["-c:a", "libmp3lame", "-q:a", "2"], LOSSY_RATES),
    ("aac", "m4a", ["-c:a", "aac", "-b:a", "160k"], RATES),
    ("adts", "aac", ["-c:a", "aac", "-b:a", "128k", "-f", "adts"], [22050, 44100, 48000]),
    ("alac16", "m4a", ["-c:a", "alac", "-sample_fmt", "s16p"], RATES),
    ("alac24", "m4a", ["-c:a", "alac", "-sample_fmt", "s32p"], RATES),
    ("flac16", "flac", ["-c:a", "flac", "-sample_fmt", "s16"], RATES),
    ("flac24", "flac", ["-c:a", "flac", "-sample_fmt", "s32"], RATES),
    ("vorbis", "ogg", ["-c:a", "libvorbis", "-q:a", "5"], RATES),
    ("opus", "ogg", ["-c:a", "libopus", "-b:a", "96k"], [48000]),
    ("oggflac", "ogg", ["-c:a", "flac"], [44100, 96000]),
    ("wav8", "wav", ["-c:a", "pcm_u8"], RATES),
    ("wav16", "wav", ["-c:a", "pcm_s16le"], RATES),
    ("wav24", "wav", ["-c:a", "pcm_s24le"], RATES),
    ("wavf32", "wav", ["-c:a", "pcm_f32le"], RATES),
    ("wavf64", "wav", ["-c:a", "pcm_f64le"], [44100, 96000]),
    ("aiff16", "aiff", ["-c:a", "pcm_s16be"], RATES),
    ("aiff24", "aif", ["-c:a", "pcm_s24be"], [44100, 96000]),
]

# name, extension, ffmpeg arguments, channel layout: more than two channels,
# some in layouts that are not the usual ones for their count
MULTICHANNEL = [
    ("flac", "flac", ["-c:a", "flac"], "3.0"),
    ("flac", "flac", ["-c:a", "flac"], "quad"),
    ("wav16", "wav", ["-c:a", "pcm_s16le"], "quad"),
    ("flac", "flac", ["-c:a", "flac"], "5.0"),
    ("aac", "m4a", ["-c:a", "aac"], "5.1"),
    ("alac", "m4a", ["-c:a", "alac"], "5.1"),
    ("vorbis", "ogg", ["-c:a", "libvorbis"], "5.1"),
    ("wavf32", "wav", ["-c:a", "pcm_f32le"], "5.1(side)"),
    ("wav24", "wav", ["-c:a", "pcm_s24le"], "7.1"),
]


def channel_expr(seed, channel, gain):
    """A note sequence over a bass line and faint noise, different per seed and channel."""
    tempo = 3 + seed % 4
    step = 5 + (seed + channel) % 7
    return (
        f"{gain}*(0.35*sin(2*PI*t*110*pow(2\\,mod(floor(t*{tempo})*{step}+{seed * 3}\\,24)/12))"
        f"+0.2*sin(2*PI*t*165*pow(2\\,mod(floor(t*{tempo})*{step + 2}+{seed + channel}\\,19)/12))"
        f"+0.15*sin(2*PI*t*55*pow(2\\,mod(floor(t*{tempo}/4)*{seed + 3}\\,12)/12))"
        f"+0.03*(random({channel})-0.5))"
    )


def plan():
    files = []
    index = 0
    for name, ext, args, rates in CODECS:
        for rate in rates:
            for channels in (1, 2):
                seconds = LENGTHS[index % len(LENGTHS)]
                loud = index % 3 == 0
                files.append(
                    {
                        "file": f"{name}-{rate}-{channels}ch-{seconds}s{'-loud' if loud else ''}"
                        f"-{index}.{ext}",
                        "seed": index,
                        "rate": rate,
                        "channels": channels,
                        "seconds": seconds,
                        "gain": 1.4 if loud else 0.95,
                        "args": args,
                    }
                )
                index += 1
    for name, ext, args, layout in MULTICHANNEL:
        channels = {"3.0": 3, "quad": 4, "5.0": 5, "5.1": 6, "5.1(side)": 6, "7.1": 8}[layout]
        seconds = LENGTHS[index % len(LENGTHS)]
        files.append(
            {
                "file": f"{name}-48000-{layout.replace('(', '').replace(')', '')}-{seconds}s"
                f"-{index}.{ext}",
                "seed": index,
                "rate": 48000,
                "channels": channels,
                "seconds": seconds,
                "gain": 0.95,
                "args": ["-channel_layout", layout] + args,
            }
        )
        index += 1
    return files


def generate(data, item):
    path = os.path.join(data, item["file"])
    if os.path.exists(path):
        return path
    exprs = "|".join(
        channel_expr(item["seed"], c, item["gain"]) for c in range(item["channels"])
    )
    part = path + ".part." + item["file"].rsplit(".", 1)[1]
    cmd = [
        "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
        f"aevalsrc=exprs='{exprs}':s={item['rate']}:d={item['seconds']}",
    ] + item["args"] + [part]
    subprocess.run(cmd, check=True)
    os.rename(part, path)
    return path


def fpcalc(path, seconds):
    """fpcalc's fingerprint, cached beside the file; empty when it read nothing."""
    cache = f"{path}.fpcalc{seconds}"
    if os.path.exists(cache):
        with open(cache) as f:
            return f.read()
    out = subprocess.run(
        ["fpcalc", "-length", str(seconds), "-plain", path],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    ).stdout.strip()
    with open(cache, "w") as f:
        f.write(out)
    return out


def ours(build, paths):
    """The helper's {"CMX", "MICRO"} texts per path, in one request."""
    host = os.path.join(build, "ostra-host")
    out = subprocess.run(
        [host, "fingerprint", "--types", "CMX,MICRO", "--batch", "20"] + paths,
        stdout=subprocess.PIPE, text=True,
    ).stdout
    results = {}
    for line in out.splitlines():
        try:
            entry = json.loads(line)
        except ValueError:
            continue
        if isinstance(entry, dict) and "path" in entry:
            results[entry["path"]] = entry
    return results


def decode_micro(text):
    return base64.b64decode(text + "=" * (-len(text) % 4)).decode("ascii", "replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--data", default=os.path.join(
        os.environ.get("TMPDIR", "/tmp"), "ostra-fpcalc-sweep"))
    parser.add_argument("--only", default="")
    parser.add_argument("-j", type=int, default=2)
    options = parser.parse_args()
    os.makedirs(options.data, exist_ok=True)

    items = [i for i in plan() if options.only in i["file"] and i["seconds"] >= 3]
    with concurrent.futures.ThreadPoolExecutor(options.j) as pool:
        paths = list(pool.map(lambda i: generate(options.data, i), items))
        cmx_ref = list(pool.map(lambda p: fpcalc(p, 120), paths))
        micro_ref = list(pool.map(lambda p: fpcalc(p, 30), paths))
    results = ours(options.build, paths)

    counts = {"CMX": [0, 0], "MICRO": [0, 0]}
    for path, cmx, micro in zip(paths, cmx_ref, micro_ref):
        entry = results.get(path, {})
        name = os.path.basename(path)
        for kind, expected, got in (
            ("CMX", cmx, entry.get("CMX")),
            ("MICRO", micro, decode_micro(entry["MICRO"]) if "MICRO" in entry else None),
        ):
            if not expected:
                continue
            counts[kind][1] += 1
            if got == expected:
                counts[kind][0] += 1
            else:
                reason = entry.get("error", "differs").splitlines()[0] if got is None else "differs"
                print(f"{kind} {name}: {reason}")
    for kind, (same, total) in counts.items():
        print(f"{kind}: {same} of {total} identical")
    return 0 if all(same == total for same, total in counts.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
