#!/usr/bin/env python3
"""The peer: loads a library with plistlib and prints tracks per second.

Usage: plistlib_load.py LIBRARY [ROUNDS]  (best of ROUNDS loads, warm cache)
"""
import plistlib
import sys
import time


def main():
    path = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    best = None
    best_cpu = None
    tracks = 0
    for _ in range(rounds):
        start = time.perf_counter()
        cpu = time.process_time()
        with open(path, "rb") as f:
            library = plistlib.load(f)
        tracks = len(library["Tracks"])
        seconds = time.perf_counter() - start
        cpu = time.process_time() - cpu
        best = seconds if best is None or seconds < best else best
        best_cpu = cpu if best_cpu is None or cpu < best_cpu else best_cpu
        del library
    print("plistlib load: %d tracks in %.3f s = %.0f tracks/s (best CPU %.3f s)"
          % (tracks, best, tracks / best, best_cpu))
    print("PLISTLIB_TRACKS_PER_SECOND %.1f" % (tracks / best))
    print("PLISTLIB_CPU_SECONDS %.3f" % best_cpu)


if __name__ == "__main__":
    main()
