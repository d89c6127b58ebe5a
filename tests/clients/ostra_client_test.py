"""The Python reference client against the real helper.

Run by ctest with OSTRA_NATIVE naming the helper under test and PYTHONPATH
holding clients/python. Audio is generated with ffmpeg into a temporary
folder; AMF0 bytes are checked against the literal frames of docs/protocol.md.
"""

import math
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
# Whatever buses this machine has, sleep prevention must fail the same way.
NO_BUS = "unix:path=/nonexistent/ostra-no-bus"


def tone(path, seconds, title, *codec):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=%d" % seconds, "-metadata", "title=" + title,
                    "-metadata", "artist=Client Artist", "-metadata", "album=Client Album",
                    "-metadata", "track=1", *codec, path], check=True)


def hexbytes(text):
    return bytes.fromhex(text.replace("\n", " "))


class AmfBytes(unittest.TestCase):
    """Encodings against the literal bytes the protocol document shows."""

    VERSION_REQUEST = hexbytes("""20 00 00 00 03 00 03 63 6d 64 02 00 07 76 65 72 73 69 6f 6e
        00 02 69 64 00 3f f0 00 00 00 00 00 00 00 00 09""")
    VERSION_REPLY = hexbytes("""03 00 04 64 61 74 61 02 00 02 31 32 00 04 64 6f 6e 65 01 01
        00 08 64 75 72 61 74 69 6f 6e 00 00 00 00 00 00 00 00 00
        00 02 69 64 00 3f f0 00 00 00 00 00 00 00 00 09""")
    HASH_REQUEST = hexbytes("""60 00 00 00 03 00 03 61 72 67 03
        00 09 62 61 74 63 68 53 69 7a 65 00 3f f0 00 00 00 00 00 00
        00 09 66 69 6c 65 50 61 74 68 73 08 00 00 00 01
        00 01 30 02 00 08 2f 6d 2f 61 2e 6d 70 33 00 00 09 00 00 09
        00 03 63 6d 64 02 00 09 61 75 64 69 6f 48 61 73 68
        00 02 69 64 00 40 1c 00 00 00 00 00 00 00 00 09""")

    def test_values_encode_as_documented(self):
        rows = [
            ("number 1", 1, "00 3f f0 00 00 00 00 00 00"),
            ("number 200", 200, "00 40 69 00 00 00 00 00 00"),
            ("true", True, "01 01"),
            ("string", "12", "02 00 02 31 32"),
            ("empty object", {}, "03 00 00 09"),
            ("null", None, "05"),
            ("list of one path", ["a.mp3"],
             "08 00 00 00 01 00 01 30 02 00 05 61 2e 6d 70 33 00 00 09"),
            ("empty list", [], "08 00 00 00 00 00 00 09"),
        ]
        for name, value, expected in rows:
            with self.subTest(name):
                self.assertEqual(encode(value), hexbytes(expected))

    def test_requests_frame_as_documented(self):
        self.assertEqual(frame({"cmd": "version", "id": 1}), self.VERSION_REQUEST)
        arg = {"batchSize": 1, "filePaths": ["/m/a.mp3"]}
        self.assertEqual(frame({"arg": arg, "cmd": "audioHash", "id": 7}), self.HASH_REQUEST)
        # Texts past 65532 bytes go as long strings.
        self.assertEqual(encode("x" * 65532)[:3], b"\x02\xff\xfc")
        self.assertEqual(encode("x" * 65533)[:5], b"\x0c\x00\x00\xff\xfd")

    def test_values_decode(self):
        rows = [
            ("the version reply", self.VERSION_REPLY,
             {"data": "12", "done": True, "duration": 0, "id": 1}),
            ("an ECMA array with other keys stays an object",
             hexbytes("08 00 00 00 02 00 01 30 05 00 01 32 05 00 00 09"), {"0": None, "2": None}),
            ("a long string", encode("x" * 70000), "x" * 70000),
        ]
        for name, data, expected in rows:
            with self.subTest(name):
                self.assertEqual(decode(data), expected)

    def test_bad_bytes_are_refused(self):
        rows = [
            ("a string cut short", "02 00 05 61 62 63"),
            ("an object without its end", "03 00 01 61 05"),
            ("a wrong end byte", "03 00 00 08"),
            ("a reference", "07 00 01"),
            ("a date", "0b 00 00 00 00 00 00 00 00 00 00"),
            ("a strict array claiming more than it holds", "0a 7f ff ff ff 05"),
            ("nothing", ""),
        ]
        for name, data in rows:
            with self.subTest(name):
                with self.assertRaises(AmfError):
                    decode(hexbytes(data))
        with self.subTest("nested past the bound"):
            with self.assertRaises(AmfError):
                decode(b"\x0a\x00\x00\x00\x01" * 100 + b"\x05")


class WithHelper(unittest.TestCase):
    """Tests that share one temporary folder of generated audio."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="ostra-client-")
        d = cls.dir
        os.makedirs(os.path.join(d, "music", "copy"))
        cls.first = os.path.join(d, "music", "first.mp3")
        cls.second = os.path.join(d, "music", "second.m4a")
        cls.third = os.path.join(d, "music", "third.flac")
        tone(cls.first, 8, "First", "-c:a", "libmp3lame", "-b:a", "128k")
        tone(cls.second, 3, "Second", "-c:a", "aac", "-b:a", "96k")
        tone(cls.third, 3, "Third", "-c:a", "flac")
        shutil.copy(cls.first, os.path.join(d, "music", "copy", "first.mp3"))
        cls.notes = os.path.join(d, "notes.txt")
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


class Commands(WithHelper):
    def test_answers_of_one_response(self):
        h = self.helper
        self.assertEqual(h.version(), "12")
        self.assertEqual(h.supported_extensions(),
                         ["mp3", "ogg", "wav", "aif", "aiff", "flac", "m4a", "aac"])
        self.assertEqual(h.system_info()["osType"], "linux")
        self.assertRegex(h.device_id(), "^[0-9a-f]{40}$")
        self.assertIs(h.allow_sleep(), True)

    def test_echo_round_trips(self):
        rows = [
            ("nothing", ostra_client._NO_ARG, None),
            ("nested lists", {"a": [1, [2.5, []], {}]}, None),
            ("texts", {"cjk": "日本語", "quote": "it's \"here\""}, None),
            ("a long string", "y" * 70000, None),
            ("a path that is not UTF-8", os.fsdecode(b"/m/caf\xe9.mp3"), None),
            ("integral numbers come back as ints", 3.0, 3),
        ]
        for name, value, expected in rows:
            with self.subTest(name):
                back = self.helper.echo(value)
                if value is ostra_client._NO_ARG:
                    self.assertIsNone(back)
                else:
                    self.assertEqual(back, value if expected is None else expected)

    def test_an_error_answer_raises(self):
        with self.assertRaises(HelperError) as caught:
            self.helper.prevent_sleep()
        self.assertEqual(caught.exception.message, "prevent sleep failed")
        with self.assertRaises(HelperError):
            self.helper.convert_to_wav.__self__._answer("convertToWav", 5)
        envelopes = list(self.helper.call("noSuchCommand"))
        self.assertEqual(envelopes[0]["data"], 'Error: Unknown command "noSuchCommand"')
        self.assertEqual(self.helper.version(), "12")

    def test_scan_yields_records_then_the_report(self):
        scan = self.helper.scan_directory(os.path.join(self.dir, "music"), ["mp3", "m4a", "flac"],
                                          batch_size=1)
        records = iter(scan)
        first = next(records)
        # Yielded as it arrived: the scan is not over yet.
        self.assertIsNone(scan.report)
        rest = [first] + list(records)
        kinds = [r["objectType"] for r in rest]
        self.assertEqual(kinds.count("song"), 3)
        self.assertEqual(kinds.count("duplicate"), 1)
        self.assertEqual(rest[-1], {"objectType": "report", "duplicateCount": 1,
                                    "uniqueSongCount": 3, "playlistCount": 0})
        self.assertEqual(scan.report, rest[-1])

    def test_a_failed_walk_still_ends_with_its_report(self):
        scan = self.helper.scan_directory(os.path.join(self.dir, "missing"), ["mp3"])
        seen = []
        with self.assertRaises(ScanError) as caught:
            for record in scan:
                seen.append(record)
        self.assertEqual(caught.exception.message, "Problem occurred during file system scanning.")
        report = {"objectType": "report", "duplicateCount": 0, "uniqueSongCount": 0,
                  "playlistCount": 0}
        self.assertEqual(seen, [report])
        self.assertEqual(caught.exception.report, report)
        # Both final responses were read: the next answer is the next request's.
        self.assertEqual(self.helper.version(), "12")

    def test_a_scan_parameter_error_ends_the_request(self):
        scan = ostra_client.Scan(self.helper, "scanDirectory", {"batchSize": 1})
        started = time.monotonic()
        with self.assertRaises(HelperError) as caught:
            list(scan)
        self.assertNotIsInstance(caught.exception, ScanError)
        self.assertEqual(caught.exception.message, "MediaScanHandler: No 'startPath' string.")
        # No wait for a report that never comes (generous bound on a shared machine).
        self.assertLess(time.monotonic() - started, ostra_client.Scan.REPORT_AFTER_ERROR_TIMEOUT)
        self.assertEqual(self.helper.version(), "12")

    def test_itunes_library_with_a_playlist(self):
        library = os.path.join(self.dir, "Music", "iTunes")
        os.makedirs(library)
        # A play count that reads as NaN travels as such (null in JSON, which
        # the schemas must take).
        tracks = "".join(
            "<key>%d</key><dict><key>Track ID</key><integer>%d</integer>"
            "<key>Name</key><string>%s</string><key>Artist</key><string>A</string>"
            "<key>Play Count</key><integer>nan</integer>"
            "<key>Location</key><string>file://%s</string></dict>\n" % (i, i, name, path)
            for i, path, name in ((11, self.first, "First"), (13, self.second, "Second")))
        with open(os.path.join(library, "iTunes Music Library.xml"), "w") as f:
            f.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>Tracks</key><dict>%s</dict><key>Playlists</key><array><dict>"
                    "<key>Name</key><string>Mix</string>"
                    "<key>Playlist Persistent ID</key><string>ABC</string>"
                    "<key>Playlist Items</key><array>"
                    "<dict><key>Track ID</key><integer>13</integer></dict>"
                    "</array></dict></array></dict></plist>\n" % tracks)
        try:
            scan = self.helper.scan_media_libs(batch_size=2)
            records = list(scan)
        finally:
            shutil.rmtree(os.path.join(self.dir, "Music"))
        self.assertEqual(scan.libraries, ["iTunes"])
        songs = {r["songPlistId"]: r for r in records if r["objectType"] == "song"}
        self.assertTrue(math.isnan(songs["11"]["playCount"]))
        playlist = [r for r in records if r["objectType"] == "playlist"][0]
        self.assertEqual((playlist["name"], playlist["songs"]), ("Mix", [songs["13"]["id"]]))
        self.assertEqual(scan.report, {"objectType": "report", "duplicateCount": 0,
                                       "uniqueSongCount": 2, "playlistCount": 1})

    def test_file_lists(self):
        h = self.helper
        hashes = h.audio_hash([self.first, self.third, self.second], batch_size=1)
        entries = list(hashes)
        self.assertEqual([e["path"] for e in entries], [self.first, self.third, self.second])
        self.assertRegex(entries[0]["hash"], "^[0-9a-f]{40}$")
        self.assertEqual(entries[1]["error"], "error: couldn't get hash for file")
        self.assertEqual(hashes.count, 2)

        tags = h.extract_metadata([self.notes, self.first, self.third, "/no/such.mp3"])
        read = list(tags)
        self.assertEqual([t["title"] for t in read], ["First", "Third"])
        self.assertEqual(tags.unread, [self.notes, "/no/such.mp3"])
        self.assertEqual(tags.count, 2)

        prints = list(h.fingerprints([self.first, "/no/such.mp3"], ["CMX", "NANO"]))
        self.assertEqual(set(prints[0]), {"CMX", "NANO", "path"})
        self.assertEqual(prints[1], {"error": "file path was not valid", "path": "/no/such.mp3"})

        copy = os.path.join(self.dir, "convert.flac")
        shutil.copy(self.third, copy)
        self.assertEqual(h.convert_to_wav([copy, self.notes]),
                         {"filesConverted": 1, "filesSkipped": 1})
        self.assertTrue(os.path.getsize(os.path.join(self.dir, "convert.wav")) > 44)

    def test_a_file_name_that_is_not_utf8(self):
        name = os.path.join(os.fsencode(self.dir), b"caf\xe9.mp3")
        shutil.copy(self.first, name)
        entries = list(self.helper.audio_hash([os.fsdecode(name)]))
        self.assertEqual(os.fsencode(entries[0]["path"]), name)
        self.assertIn("hash", entries[0])

    def test_requests_in_flight_together(self):
        h = self.helper
        hashes = h.audio_hash([self.first, self.second] * 20, batch_size=1)
        scan = h.scan_directory(os.path.join(self.dir, "music"), ["mp3"])
        # Answered while the other two are still unread; theirs are kept.
        self.assertEqual(h.version(), "12")
        self.assertEqual(len([r for r in scan if r["objectType"] == "song"]), 1)
        self.assertEqual(len(list(hashes)), 40)
        self.assertEqual(hashes.count, 40)


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


class Lifecycle(unittest.TestCase):
    def test_close_stops_the_helper(self):
        helper = Helper.start(HELPER)
        self.assertEqual(helper.close(), 0)

    def test_a_dead_helper_is_reported(self):
        helper = Helper.start(HELPER)
        self.addCleanup(helper.close)
        helper._process.kill()
        helper._process.wait()
        with self.assertRaises(ConnectionLost):
            helper.version()

    def test_a_helper_that_exits_before_connecting(self):
        with self.assertRaises(ConnectionLost):
            Helper.start("/bin/false")
        with self.assertRaises(FileNotFoundError):
            Helper.start("/no/such/helper")


if __name__ == "__main__":
    unittest.main()
