"""The Python reference client: its AMF0 codec against the literal frames of
docs/protocol.md; against the real helper (OSTRA_NATIVE) each method, records
yielded as they come, errors as exceptions and the process's life.
"""

import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import unittest.mock

import ostra_client
from ostra_client import (AmfError, ConnectionLost, Helper, HelperError, ScanError, decode,
                          encode, frame)

HELPER = os.environ.get("OSTRA_NATIVE", "ostra-native")
NO_BUS = "unix:path=/nonexistent/ostra-no-bus"
REPORT0 = {"objectType": "report", "duplicateCount": 0, "uniqueSongCount": 0, "playlistCount": 0}


def tone(path, seconds, title, *codec):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=%d" % seconds, "-metadata", "title=" + title,
                    "-metadata", "artist=Client Artist", *codec, path], check=True)


def hexbytes(text):
    return bytes.fromhex(text.replace("\n", " "))


class AmfBytes(unittest.TestCase):
    def test_encode_as_documented(self):
        rows = [
            ("number 200", 200, "00 40 69 00 00 00 00 00 00"),
            ("true", True, "01 01"),
            ("null", None, "05"),
            ("list of one path", ["a.mp3"],
             "08 00 00 00 01 00 01 30 02 00 05 61 2e 6d 70 33 00 00 09"),
            ("version request", {"cmd": "version", "id": 1},
             "03 00 03 63 6d 64 02 00 07 76 65 72 73 69 6f 6e 00 02 69 64 00 3f f0 00 00 00 00 00 00"
             " 00 00 09"),
            # Texts past 65532 bytes go as long strings.
            ("longest short string", "x" * 65532, "02 ff fc" + " 78" * 65532),
            ("long string", "x" * 65533, "0c 00 00 ff fd" + " 78" * 65533),
        ]
        for name, value, expected in rows:
            with self.subTest(name):
                self.assertEqual(encode(value), hexbytes(expected))
        self.assertEqual(frame({"arg": {"batchSize": 1, "filePaths": ["/m/a.mp3"]},
                                "cmd": "audioHash", "id": 7}), hexbytes("""60 00 00 00 03
            00 03 61 72 67 03 00 09 62 61 74 63 68 53 69 7a 65 00 3f f0 00 00 00 00 00 00
            00 09 66 69 6c 65 50 61 74 68 73 08 00 00 00 01 00 01 30 02 00 08 2f 6d 2f 61 2e 6d
            70 33 00 00 09 00 00 09 00 03 63 6d 64 02 00 09 61 75 64 69 6f 48 61 73 68
            00 02 69 64 00 40 1c 00 00 00 00 00 00 00 00 09"""))

    def test_decode(self):
        self.assertEqual(decode(hexbytes("""03 00 04 64 61 74 61 02 00 02 31 32 00 04 64 6f 6e 65
            01 01 00 08 64 75 72 61 74 69 6f 6e 00 00 00 00 00 00 00 00 00
            00 02 69 64 00 3f f0 00 00 00 00 00 00 00 00 09""")),
                         {"data": "12", "done": True, "duration": 0, "id": 1})
        bad = [
            ("a string cut short", "02 00 05 61 62 63"),
            ("an object without its end", "03 00 01 61 05"),
            ("a wrong end byte", "03 00 00 08"),
            ("a strict array claiming more than it holds", "0a 7f ff ff ff 05"),
            ("nested past the bound", "0a 00 00 00 01" * 100 + "05"),
        ]
        for name, data in bad:
            with self.subTest(name), self.assertRaises(AmfError):
                decode(hexbytes(data))


class WithHelper(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="ostra-client-")
        os.makedirs(os.path.join(cls.dir, "music", "copy"))
        cls.first = os.path.join(cls.dir, "music", "first.mp3")
        cls.third = os.path.join(cls.dir, "music", "third.flac")
        tone(cls.first, 8, "First", "-c:a", "libmp3lame", "-b:a", "128k")
        tone(cls.third, 3, "Third", "-c:a", "flac")
        shutil.copy(cls.first, os.path.join(cls.dir, "music", "copy", "first.mp3"))
        cls.odd = os.fsdecode(os.path.join(os.fsencode(cls.dir), b"caf\xe9.mp3"))
        shutil.copy(cls.first, cls.odd)
        cls.notes = os.path.join(cls.dir, "notes.txt")
        with open(cls.notes, "w") as f:
            f.write("not audio\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def setUp(self):
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=NO_BUS, DBUS_SESSION_BUS_ADDRESS=NO_BUS,
                   HOME=self.dir)
        self.helper = Helper.start(HELPER, env=env)
        self.addCleanup(self.helper.close)

    def test_each_command(self):
        h = self.helper
        self.assertEqual(h.version(), "12")
        self.assertRegex(h.device_id(), "^[0-9a-f]{40}$")
        self.assertIs(h.allow_sleep(), True)
        with self.assertRaises(HelperError) as caught:
            h.prevent_sleep()
        self.assertEqual(caught.exception.message, "prevent sleep failed")
        not_utf8 = os.fsdecode(b"/m/caf\xe9.mp3")
        self.assertEqual([h.echo("y" * 70000), h.echo(not_utf8), h.echo(3.0)],
                         ["y" * 70000, not_utf8, 3])
        self.assertEqual(list(h.call("noSuchCommand"))[0]["data"],
                         'Error: Unknown command "noSuchCommand"')
        libraries = h.scan_media_libs()
        self.assertEqual((list(libraries), libraries.libraries), ([REPORT0], []))

        hashes = h.audio_hash([self.first, self.third, self.odd], batch_size=1)
        entries = list(hashes)
        self.assertEqual([e["path"] for e in entries], [self.first, self.third, self.odd])
        self.assertEqual(entries[1]["error"], "error: couldn't get hash for file")
        self.assertEqual(entries[0]["hash"], entries[2]["hash"])
        self.assertEqual(hashes.count, 2)
        tags = h.extract_metadata([self.notes, self.first, "/no/such.mp3"])
        self.assertEqual([t["title"] for t in tags], ["First"])
        self.assertEqual((tags.unread, tags.count), ([self.notes, "/no/such.mp3"], 1))
        prints = list(h.fingerprints([self.first, "/no/such.mp3"], ["CMX", "NANO"]))
        self.assertEqual(set(prints[0]), {"CMX", "NANO", "path"})
        self.assertEqual(prints[1], {"error": "file path was not valid", "path": "/no/such.mp3"})
        self.assertEqual(h.convert_to_wav([self.third, self.notes]),
                         {"filesConverted": 1, "filesSkipped": 1})

    def test_scans(self):
        scan = self.helper.scan_directory(os.path.join(self.dir, "music"), ["mp3", "flac"],
                                          batch_size=1)
        records = iter(scan)
        first = next(records)
        self.assertIsNone(scan.report)  # yielded as it arrived: the scan is not over yet
        rest = [first] + list(records)
        self.assertEqual(rest[-1], dict(REPORT0, duplicateCount=1, uniqueSongCount=2))
        self.assertEqual(scan.report, rest[-1])
        # A failed walk still ends with its report.
        seen = []
        with self.assertRaises(ScanError) as caught:
            for record in self.helper.scan_directory(os.path.join(self.dir, "missing"), ["mp3"]):
                seen.append(record)
        self.assertEqual(caught.exception.message, "Problem occurred during file system scanning.")
        self.assertEqual((seen, caught.exception.report), ([REPORT0], REPORT0))
        # A parameter error ends the request: no wait for a report that never comes.
        started = time.monotonic()
        with self.assertRaises(HelperError) as caught:
            list(ostra_client.Scan(self.helper, "scanDirectory", {"batchSize": 1}))
        self.assertNotIsInstance(caught.exception, ScanError)
        self.assertLess(time.monotonic() - started, ostra_client.Scan.REPORT_AFTER_ERROR_TIMEOUT)
        # Every final response was read: the next answer is the next request's.
        self.assertEqual(self.helper.version(), "12")

    def test_lifecycle(self):
        helper = Helper.start(HELPER)
        self.assertEqual(helper.close(), 0)
        helper = Helper.start(HELPER)
        self.addCleanup(helper.close)
        helper._process.kill()
        helper._process.wait()
        with self.assertRaises(ConnectionLost):
            helper.version()
        with self.assertRaises(ConnectionLost):
            Helper.start("/bin/false")
        with self.assertRaises(FileNotFoundError):
            Helper.start("/no/such/helper")


class ScriptedPeer(unittest.TestCase):
    """The client against a peer that plays the helper's part from a script,
    for what the real helper does not do on demand: answers interleaved in a
    set order, an id never asked for, a frame that stalls or breaks off."""

    @staticmethod
    def answer(data, request_id, done=True):
        return frame({"data": data, "done": done, "duration": 0, "id": request_id})

    @staticmethod
    def read_request(connection):
        def exactly(n):
            data = b""
            while len(data) < n:
                data += connection.recv(n - len(data))
            return data
        return decode(exactly(struct.unpack("<I", exactly(4))[0]))

    def run_script(self, play, client):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]

        def peer():
            for _ in range(3000):
                try:
                    connection = socket.create_connection(("127.0.0.1", port))
                    break
                except ConnectionRefusedError:
                    time.sleep(0.01)
            with connection:
                play(connection)
                connection.recv(1)  # until the client closes

        thread = threading.Thread(target=peer)
        thread.start()
        try:
            # The record log holds what the real helper says, not this peer.
            with unittest.mock.patch.dict(os.environ):
                os.environ.pop("OSTRA_RECORD_LOG", None)
                helper = Helper.listen(port, timeout=30)
            with helper:
                client(helper)
        finally:
            thread.join(30)

    def test_scripted_answers(self):
        hash_record = {"hash": "0" * 40, "path": "a.mp3"}

        def late_answers(connection, first_batch_early):
            self.read_request(connection)  # audioHash, id 1
            if first_batch_early:
                connection.sendall(self.answer([hash_record], 1, False))
            self.read_request(connection)  # version, id 2
            for _ in range(3):
                connection.sendall(self.answer([hash_record], 1, False))
            connection.sendall(self.answer({"count": 4}, 1))
            connection.sendall(self.answer("stray", 99))  # an id never sent
            connection.sendall(self.answer("12", 2))

        def left_after_one_record(helper):
            for _ in helper.audio_hash(["a.mp3"] * 4, batch_size=1):
                break
            self.assertEqual(helper.version(), "12")

        def never_read(helper):
            helper.audio_hash(["a.mp3"] * 4, batch_size=1)
            self.assertEqual(helper.version(), "12")

        def stalled(connection):
            self.read_request(connection)
            reply = self.answer("12", 1)
            connection.sendall(reply[:2])
            time.sleep(0.5)
            connection.sendall(reply[2:])

        def cut_off(connection):
            self.read_request(connection)
            connection.sendall(self.answer("12", 1)[:10])
            connection.shutdown(socket.SHUT_WR)

        def broken_version(helper):
            with self.assertRaises(ConnectionLost):
                helper.version()

        rows = [
            # Responses to a request nobody reads any more, or to one never
            # sent, are dropped, not kept for ever.
            ("a generator left early", lambda c: late_answers(c, True), left_after_one_record),
            ("records never read", lambda c: late_answers(c, False), never_read),
            # A timeout waits for a frame to begin, and never cuts one.
            ("a frame that stalls after its first bytes", stalled,
             lambda h: self.assertEqual(
                 [e["data"] for e in h.envelopes(h.request("version"), timeout=0.2)], ["12"])),
            ("a frame cut off", cut_off, broken_version),
        ]
        for name, play, client in rows:
            with self.subTest(name):
                def checked(helper, client=client):
                    client(helper)
                    self.assertEqual(sum(len(q) for q in helper._pending.values()), 0)
                self.run_script(play, checked)

    def test_records_are_read_once(self):
        def play(connection):
            self.read_request(connection)
            connection.sendall(self.answer({"count": 0}, 1))
            # A client that waited for more would see the end, not hang.
            connection.shutdown(socket.SHUT_WR)

        def client(helper):
            hashes = helper.audio_hash(["a.mp3"])
            self.assertEqual(list(hashes), [])
            with self.assertRaisesRegex(RuntimeError, "can be read once"):
                list(hashes)
        self.run_script(play, client)


if __name__ == "__main__":
    unittest.main()
