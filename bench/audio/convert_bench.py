#!/usr/bin/env python3
"""Drives the real helper over loopback for the convertToWav benchmark.

Usage: convert_bench.py HELPER ROUNDS LABEL=LISTFILE [LABEL=LISTFILE ...] [--memory FILE ...]

For each list (one audio path per line) it sends one "convertToWav" request with
every path of the list, ROUNDS times, and prints the best wall-clock time as
`ours_<label>_s` with the file count. With --memory it converts each named file
alone and prints the helper's idle resident size and its peak during the
conversion (VmHWM), in MB.
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time


def enc_string(s):
    b = s.encode("utf-8")
    return struct.pack(">H", len(b)) + b


def enc_value(v):
    if isinstance(v, bool):
        return b"\x01" + (b"\x01" if v else b"\x00")
    if isinstance(v, (int, float)):
        return b"\x00" + struct.pack(">d", float(v))
    if isinstance(v, str):
        return b"\x02" + enc_string(v)
    if isinstance(v, list):  # as an ECMA array keyed "0", "1", ...
        out = b"\x08" + struct.pack(">I", len(v))
        for i, item in enumerate(v):
            out += enc_string(str(i)) + enc_value(item)
        return out + b"\x00\x00\x09"
    if isinstance(v, dict):
        out = b"\x03"
        for k, item in v.items():
            out += enc_string(k) + enc_value(item)
        return out + b"\x00\x00\x09"
    raise TypeError(type(v))


def dec_value(b, i):
    t = b[i]
    i += 1
    if t == 0:
        return struct.unpack(">d", b[i:i + 8])[0], i + 8
    if t == 1:
        return b[i] != 0, i + 1
    if t == 2:
        n = struct.unpack(">H", b[i:i + 2])[0]
        return b[i + 2:i + 2 + n].decode("utf-8", "replace"), i + 2 + n
    if t in (3, 8):
        if t == 8:
            i += 4
        obj = {}
        while True:
            n = struct.unpack(">H", b[i:i + 2])[0]
            key = b[i + 2:i + 2 + n].decode("utf-8", "replace")
            i += 2 + n
            if n == 0 and b[i] == 9:
                return obj, i + 1
            obj[key], i = dec_value(b, i)
    if t in (5, 6):
        return None, i
    raise ValueError("AMF0 type %d" % t)


class Helper:
    def __init__(self, path):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        port = self.listener.getsockname()[1]
        self.proc = subprocess.Popen([path, str(port)], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.listener.settimeout(30)
        self.conn, _ = self.listener.accept()
        self.conn.settimeout(3600)
        self.next_id = 1

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.conn.recv(n - len(data))
            if not chunk:
                raise EOFError("helper closed the connection")
            data += chunk
        return data

    def call(self, cmd, arg):
        rid = self.next_id
        self.next_id += 1
        body = enc_value({"cmd": cmd, "id": rid, "arg": arg})
        self.conn.sendall(struct.pack("<I", len(body)) + body)
        while True:
            size = struct.unpack("<I", self._read(4))[0]
            response, _ = dec_value(self._read(size), 0)
            if response.get("id") == rid and response.get("done"):
                return response.get("data")

    def status(self, field):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def quit(self):
        self.proc.stdin.write(b"QUIT\n")
        self.proc.stdin.flush()
        self.proc.wait(timeout=30)


def main():
    helper_path, rounds = sys.argv[1], int(sys.argv[2])
    args = sys.argv[3:]
    memory = []
    if "--memory" in args:
        k = args.index("--memory")
        memory = args[k + 1:]
        args = args[:k]
    helper = Helper(helper_path)
    try:
        for item in args:
            label, listfile = item.split("=", 1)
            paths = [p for p in open(listfile).read().splitlines() if p]
            best = None
            for _ in range(rounds):
                start = time.monotonic()
                data = helper.call("convertToWav", {"filePaths": paths})
                elapsed = time.monotonic() - start
                if not isinstance(data, dict) or data.get("filesConverted") != len(paths):
                    sys.exit("convertToWav failed for %s: %r" % (label, data))
                best = elapsed if best is None else min(best, elapsed)
            print("ours_%s_s %.3f files %d" % (label, best, len(paths)))
        if memory:
            # A fresh helper, so its high-water mark starts at the idle figure.
            helper.quit()
            helper = Helper(helper_path)
            time.sleep(0.5)
            idle = helper.status("VmRSS")
            print("helper_idle_rss_MB %.1f" % idle)
            for path in memory:
                data = helper.call("convertToWav", {"filePaths": [path]})
                if not isinstance(data, dict) or data.get("filesConverted") != 1:
                    sys.exit("convertToWav failed for %s: %r" % (path, data))
                peak = helper.status("VmHWM")
                print("peak_rss_MB %.1f above_idle_MB %.1f file %s"
                      % (peak, peak - idle, os.path.basename(path)))
    finally:
        helper.quit()


if __name__ == "__main__":
    main()
