"""A host for the OstraNative helper, in Python 3's standard library alone.

The helper (``ostra-native``) connects to a TCP port on 127.0.0.1 where the
host listens, and both then exchange frames: a 4-byte little-endian length and
one AMF0 value. This module plays the host::

    from ostra_client import Helper

    with Helper.start() as helper:               # ostra-native beside you or on PATH
        print(helper.version())                  # "12"
        for record in helper.scan_directory("/music", ["mp3", "m4a"]):
            print(record["objectType"], record.get("path"))

Commands that answer with a list are generators of records, yielded as their
batches arrive (``scan_directory``, ``scan_media_libs``, ``extract_metadata``,
``audio_hash``, ``fingerprints``); the others return their one answer. Each
command sends its request when it is called, so several can be in flight at
once; responses of other requests are kept until their turn comes. The
records of a request can be read once; a request whose records are left
unread (a loop left with ``break``, a result dropped) is abandoned, and its
remaining responses are read and dropped, never kept.

Values: AMF0 objects become dicts; ECMA arrays keyed "0".."n-1" (the empty one
too) and strict arrays become lists, other ECMA arrays dicts; numbers become
ints when integral, else floats; texts are decoded as UTF-8 with
"surrogateescape", so a path that is not UTF-8 comes back as the same str
``os.fsdecode`` gives, and goes out again as the same bytes. Going out, dicts
become objects, lists and tuples ECMA arrays, and texts past 65532 bytes long
strings.

When the environment variable OSTRA_RECORD_LOG names a file, every request
sent and every response received is appended to it as one JSON line, for the
test suite's check against the JSON Schemas in schemas/.
"""

import collections
import json
import math
import os
import select
import shutil
import socket
import struct
import subprocess
import time

__all__ = [
    "Helper", "Scan", "FileRecords", "HelperError", "ScanError", "ConnectionLost",
    "ResponseTimeout", "AmfError",
    "encode", "decode", "frame",
]

#: Frames longer than this mean a broken stream, not a large answer.
MAX_FRAME_BYTES = 64 * 1024 * 1024
#: The longest text an AMF0 short string holds (the host reserves the top of
#: the 16-bit range).
MAX_SHORT_STRING = 65532
#: Containers nested deeper than this do not decode (the helper's own bound).
MAX_DEPTH = 64
#: Parameter errors of the scan commands start with this and end the request;
#: an error of the walk is followed by the final batch with the report.
SCAN_PARAMETER_ERROR = "MediaScanHandler:"
#: The reply to a command the helper does not know starts with this.
UNKNOWN_COMMAND = "Error: Unknown command "
#: The commands whose error may be followed by one more response (the report).
SCAN_COMMANDS = ("scanDirectory", "scanMediaLibs")


class AmfError(ValueError):
    """Bytes that are not an AMF0 value, or a value AMF0 cannot carry."""


class ConnectionLost(RuntimeError):
    """The helper closed the connection, died, or sent a broken frame."""


class ResponseTimeout(ConnectionLost):
    """No response came within the time a call allowed."""


class HelperError(RuntimeError):
    """The helper answered a request with an error response.

    ``message`` is the helper's text: the "error" of an error object, or the
    whole reply to an unknown command (``Error: Unknown command "NAME"``).
    """

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class ScanError(HelperError):
    """A scan's walk failed. The scan still ended with its report, which was
    yielded like every record before this was raised; it is also ``report``
    here (None when it never came)."""

    def __init__(self, message, report):
        super().__init__(message)
        self.report = report


# --- AMF0 -------------------------------------------------------------------

def _encode_text(data, out):
    if len(data) > MAX_SHORT_STRING:
        out += b"\x0c" + struct.pack(">I", len(data)) + data
    else:
        out += b"\x02" + struct.pack(">H", len(data)) + data


def _key(name):
    data = name.encode("utf-8", "surrogateescape") if isinstance(name, str) else bytes(name)
    if len(data) > MAX_SHORT_STRING:
        raise AmfError("an AMF0 key holds at most %d bytes" % MAX_SHORT_STRING)
    return struct.pack(">H", len(data)) + data


def _encode(value, out, depth):
    if depth > MAX_DEPTH:
        raise AmfError("nested deeper than %d" % MAX_DEPTH)
    if value is None:
        out += b"\x05"
    elif isinstance(value, bool):
        out += b"\x01\x01" if value else b"\x01\x00"
    elif isinstance(value, (int, float)):
        out += b"\x00" + struct.pack(">d", float(value))
    elif isinstance(value, str):
        _encode_text(value.encode("utf-8", "surrogateescape"), out)
    elif isinstance(value, (bytes, bytearray)):
        _encode_text(bytes(value), out)
    elif isinstance(value, dict):
        out += b"\x03"
        for name, item in value.items():
            out += _key(name)
            _encode(item, out, depth + 1)
        out += b"\x00\x00\x09"
    elif isinstance(value, (list, tuple)):
        out += b"\x08" + struct.pack(">I", len(value))
        for index, item in enumerate(value):
            out += _key(str(index))
            _encode(item, out, depth + 1)
        out += b"\x00\x00\x09"
    else:
        raise AmfError("no AMF0 form for %s" % type(value).__name__)


def encode(value):
    """The AMF0 encoding of ``value`` (marker and body)."""
    out = bytearray()
    _encode(value, out, 0)
    return bytes(out)


def frame(value):
    """A whole frame: the body's length as 4 little-endian bytes, then the body."""
    body = encode(value)
    return struct.pack("<I", len(body)) + body


class _Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, n):
        if n > len(self.data) - self.at:
            raise AmfError("truncated at byte %d" % self.at)
        piece = self.data[self.at:self.at + n]
        self.at += n
        return piece

    def text(self, size_format):
        (n,) = struct.unpack(size_format, self.take(struct.calcsize(size_format)))
        return self.take(n).decode("utf-8", "surrogateescape")


def _number(value):
    if math.isfinite(value) and value == int(value) and abs(value) < 2 ** 53:
        return int(value)
    return value


def _entries(reader, depth):
    entries = {}
    while True:
        name = reader.text(">H")
        if not name:
            if reader.take(1) != b"\x09":
                raise AmfError("an object ends without its end marker")
            return entries
        entries[name] = _decode(reader, depth + 1)


def _decode(reader, depth):
    if depth > MAX_DEPTH:
        raise AmfError("nested deeper than %d" % MAX_DEPTH)
    marker = reader.take(1)[0]
    if marker == 0x00:
        return _number(struct.unpack(">d", reader.take(8))[0])
    if marker == 0x01:
        return reader.take(1) != b"\x00"
    if marker == 0x02:
        return reader.text(">H")
    if marker == 0x0C:
        return reader.text(">I")
    if marker in (0x05, 0x06):
        return None
    if marker == 0x03:
        return _entries(reader, depth)
    if marker == 0x08:
        reader.take(4)  # the count is not to be trusted; the end marker is
        entries = _entries(reader, depth)
        if all(str(i) in entries for i in range(len(entries))):
            return [entries[str(i)] for i in range(len(entries))]
        return entries
    if marker == 0x0A:
        (count,) = struct.unpack(">I", reader.take(4))
        # Every element takes at least one byte: a count past what is left
        # is a lie, and must not size anything.
        if count > len(reader.data) - reader.at:
            raise AmfError("a strict array announces more elements than bytes")
        return [_decode(reader, depth + 1) for _ in range(count)]
    raise AmfError("unsupported AMF0 marker 0x%02x" % marker)


def decode(data):
    """The first AMF0 value in ``data``; bytes after it are ignored."""
    return _decode(_Reader(bytes(data)), 0)


# --- the record log ---------------------------------------------------------

def _plain(value):
    """``value`` as JSON can hold it: numbers that are not finite become None,
    as the C++ host shows them."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_plain(v) for v in value]
    return value


class _RecordLog:
    _sessions = 0

    def __init__(self, path):
        _RecordLog._sessions += 1
        self.session = "python:%d:%d" % (os.getpid(), _RecordLog._sessions)
        self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)

    def append(self, direction, command, envelope):
        line = json.dumps({"session": self.session, "direction": direction,
                           "command": command, "envelope": _plain(envelope)})
        # One write a line keeps lines whole among several writers.
        os.write(self.fd, (line + "\n").encode("utf-8", "surrogateescape"))

    def close(self):
        os.close(self.fd)


# --- the host ---------------------------------------------------------------

_NO_ARG = object()


def _find_helper(helper):
    if helper:
        return helper
    named = os.environ.get("OSTRA_NATIVE")
    if named:
        return named
    found = shutil.which("ostra-native")
    if not found:
        raise FileNotFoundError("ostra-native is not on PATH; pass helper= or set OSTRA_NATIVE")
    return found


class Helper:
    """One connection with the helper. Not safe to share between threads.

    Make one with ``Helper.start()`` (which starts ``ostra-native`` on an
    ephemeral port) or ``Helper.listen(port)`` (which waits for a helper
    started by hand: ``ostra-native PORT``). ``close()``, or the end of a
    ``with`` block, stops a helper this object started.
    """

    def __init__(self, connection, process=None):
        self._socket = connection
        self._process = process
        self._next_id = 1
        # Requests whose last response has not been read yet, by id: their
        # command. Responses to any other id are read and dropped.
        self._open = {}
        # Responses read for an open request while another was being read.
        self._pending = collections.defaultdict(collections.deque)
        # Open requests nobody reads any more (a generator left before its
        # end, a result never iterated): their responses are dropped as they
        # come, so that an abandoned scan of a large library holds nothing.
        self._abandoned = set()
        path = os.environ.get("OSTRA_RECORD_LOG")
        self._log = _RecordLog(path) if path else None

    @staticmethod
    def _listener(port):
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))
        listener.listen(1)
        return listener

    @staticmethod
    def _accept(listener, process, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            ready, _, _ = select.select([listener], [], [], 0.05)
            if ready:
                connection, _ = listener.accept()
                connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                return connection
            if process is not None and process.poll() is not None:
                raise ConnectionLost("the helper exited with status %d before it connected"
                                     % process.returncode)
            if deadline is not None and time.monotonic() > deadline:
                raise ConnectionLost("no helper connected within %s s" % timeout)

    @classmethod
    def start(cls, helper=None, *, env=None, stdout=subprocess.DEVNULL,
              stderr=subprocess.DEVNULL, timeout=30):
        """Starts the helper on an ephemeral port and waits for it to connect.

        ``helper``: the program, else OSTRA_NATIVE, else ``ostra-native`` on
        PATH. ``stdout`` and ``stderr`` take what ``subprocess.Popen`` does:
        the helper prints start-up and trace lines there.
        """
        program = _find_helper(helper)
        with cls._listener(0) as listener:
            port = listener.getsockname()[1]
            process = subprocess.Popen([program, str(port)], stdin=subprocess.PIPE,
                                       stdout=stdout, stderr=stderr, env=env,
                                       start_new_session=True)
            try:
                connection = cls._accept(listener, process, timeout)
            except BaseException:
                process.kill()
                process.wait()
                process.stdin.close()
                raise
        return cls(connection, process)

    @classmethod
    def listen(cls, port, timeout=None):
        """Listens on 127.0.0.1:``port`` and waits for a helper started by hand."""
        with cls._listener(port) as listener:
            return cls(cls._accept(listener, None, timeout))

    def close(self, timeout=20):
        """Closes the connection; a helper this object started gets "QUIT" and
        is waited for. Returns its exit status (None for one started by hand)."""
        if self._socket is not None:
            self._socket.close()
            self._socket = None
        if self._log is not None:
            self._log.close()
            self._log = None
        if self._process is None:
            return None
        try:
            self._process.stdin.write(b"QUIT\n")
            self._process.stdin.close()
        except OSError:
            pass
        try:
            return self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            return self._process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- frames and envelopes ---

    def request(self, command, arg=_NO_ARG):
        """Sends {"cmd": command, "id": <next id>, "arg": arg} (no "arg" when
        none is given) and returns the id."""
        request_id = self._next_id
        self._next_id += 1
        envelope = {"cmd": command, "id": request_id}
        if arg is not _NO_ARG:
            envelope["arg"] = arg
        data = frame(envelope)
        self._open[request_id] = command
        if self._log is not None:
            self._log.append("request", None, envelope)
        try:
            self._socket.sendall(data)
        except OSError as e:
            raise ConnectionLost("the helper closed the connection (%s)" % e) from e
        return request_id

    def _read_exactly(self, n):
        chunks = []
        while n > 0:
            try:
                chunk = self._socket.recv(min(n, 1 << 20))
            except OSError as e:
                raise ConnectionLost("the connection failed (%s)" % e) from e
            if not chunk:
                raise ConnectionLost("the helper closed the connection")
            chunks.append(chunk)
            n -= len(chunk)
        return b"".join(chunks)

    def read_envelope(self, timeout=None):
        """The next response envelope from the connection, whatever its id;
        None when ``timeout`` seconds passed before a frame began. A frame
        that has begun is read to its end, so a timeout never leaves the
        stream in the middle of one."""
        if timeout is not None:
            ready, _, _ = select.select([self._socket], [], [], max(timeout, 0))
            if not ready:
                return None
        header = self._read_exactly(4)
        (length,) = struct.unpack("<I", header)
        if length > MAX_FRAME_BYTES:
            raise ConnectionLost("a frame of %d bytes: the stream is broken" % length)
        try:
            envelope = decode(self._read_exactly(length))
        except AmfError as e:
            raise ConnectionLost("a frame that does not decode (%s)" % e) from e
        if not isinstance(envelope, dict) or not isinstance(envelope.get("id"), (int, float)):
            raise ConnectionLost("a frame that is not a response envelope")
        if self._log is not None:
            self._log.append("response", self._open.get(envelope["id"]), envelope)
        return envelope

    @staticmethod
    def _is_last(command, envelope):
        """Whether ``envelope`` is the last response of its request: the first
        with "done" true, except a scan's error of the walk, after which the
        batch with the report still follows."""
        if envelope.get("done") is not True:
            return False
        if command in SCAN_COMMANDS:
            text = Helper.error_text(envelope.get("data"))
            return text is None or text.startswith((SCAN_PARAMETER_ERROR, UNKNOWN_COMMAND))
        return True

    def _close_request(self, request_id):
        self._open.pop(request_id, None)
        self._pending.pop(request_id, None)
        self._abandoned.discard(request_id)

    def _settle(self, request_id, envelope):
        if self._is_last(self._open.get(request_id), envelope):
            self._close_request(request_id)

    def abandon(self, request_id):
        """Nobody will read the rest of this request's responses: they are
        dropped as they arrive instead of being kept."""
        if request_id not in self._open:
            return
        command = self._open[request_id]
        kept = self._pending.pop(request_id, ())
        if any(self._is_last(command, envelope) for envelope in kept):
            self._close_request(request_id)
        else:
            self._abandoned.add(request_id)

    def _route(self, envelope):
        """Keeps a response read for another request, for that request; drops
        it when that request is abandoned, or not open at all (a helper that
        answers an id twice, or one never sent)."""
        other = envelope["id"]
        if other not in self._open:
            return
        if other in self._abandoned:
            if self._is_last(self._open[other], envelope):
                self._close_request(other)
            return
        self._pending[other].append(envelope)

    def envelopes(self, request_id, timeout=None):
        """The response envelopes of one request, in order, through its first
        with "done" true. Responses to other requests are kept for them.
        ``timeout``: seconds to wait for each; ResponseTimeout when it passes
        (the request stays open: envelopes() again reads on). Left before
        that "done" otherwise (``break``, an exception, the generator
        dropped), the request is abandoned: its other responses are dropped."""
        if request_id not in self._open:
            raise ValueError("request %s has no responses left to read" % request_id)
        ended = False
        try:
            while True:
                queue = self._pending.get(request_id)
                if queue:
                    envelope = queue.popleft()
                else:
                    deadline = None if timeout is None else time.monotonic() + timeout
                    while True:
                        left = None if deadline is None else deadline - time.monotonic()
                        envelope = self.read_envelope(left)
                        if envelope is None:
                            ended = True  # not abandoned: a caller may wait again
                            raise ResponseTimeout("no response to request %s within %s s"
                                                  % (request_id, timeout))
                        if envelope["id"] == request_id:
                            break
                        self._route(envelope)
                if envelope.get("done") is True:
                    ended = True
                    self._settle(request_id, envelope)
                yield envelope
                if ended:
                    return
        finally:
            if not ended:
                self.abandon(request_id)

    def call(self, command, arg=_NO_ARG):
        """Sends a request and yields its response envelopes as they arrive."""
        return self.envelopes(self.request(command, arg))

    @staticmethod
    def error_text(data):
        """The helper's error text in a response's "data", or None."""
        if isinstance(data, dict) and len(data) == 1 and isinstance(data.get("error"), str):
            return data["error"]
        if isinstance(data, str) and data.startswith(UNKNOWN_COMMAND):
            return data
        return None

    def _answer(self, command, arg=_NO_ARG):
        """The data of a command that answers once."""
        for envelope in self.call(command, arg):
            error = self.error_text(envelope.get("data"))
            if error is not None:
                raise HelperError(error)
            if envelope.get("done") is True:
                return envelope.get("data")

    # --- commands that answer once ---

    def echo(self, value=_NO_ARG):
        """The value back; None without one."""
        return self._answer("echo", value)

    def version(self):
        """The helper's version, a string ("12")."""
        return self._answer("version")

    def supported_extensions(self):
        """The extensions that convert_to_wav and fingerprints decode, without the dot."""
        return self._answer("getSupportedExtensions")

    def system_info(self):
        """{"osType", "osVersion", "cpuType", "cpuSpeed", "cpuCores", "systemRamMB", "diskSizeMB"}."""
        return self._answer("systemInfo")

    def device_id(self):
        """The machine's identifier: 40 lowercase hexadecimal digits."""
        return self._answer("deviceId")

    def prevent_sleep(self):
        """Keeps the machine awake until allow_sleep() or the helper's end."""
        return self._answer("preventSleep")

    def allow_sleep(self):
        return self._answer("allowSleep")

    def convert_to_wav(self, paths):
        """Writes each file as a WAV file beside it; returns
        {"filesConverted": n, "filesSkipped": m}."""
        return self._answer("convertToWav", {"filePaths": [os.fspath(p) for p in paths]})

    # --- commands that answer with records ---

    def scan_directory(self, start_path, extensions, batch_size=200):
        """A Scan of the folder: song, duplicate and replacement records, then
        the report. ``extensions``: lower case, without the dot ("mp3")."""
        return Scan(self, "scanDirectory", {"startPath": os.fspath(start_path),
                                            "validExtensions": list(extensions),
                                            "batchSize": batch_size})

    def scan_media_libs(self, batch_size=200):
        """A Scan of the user's iTunes library; its ``libraries`` lists the
        libraries found once the first response arrived."""
        return Scan(self, "scanMediaLibs", {"batchSize": batch_size})

    def extract_metadata(self, paths, batch_size=10):
        """Records: the tags of each readable file, in the order of ``paths``.
        Unreadable files are left out; their paths are in ``unread`` after the
        iteration."""
        return FileRecords(self, "extractMetadataFromFiles", paths, batch_size)

    def audio_hash(self, paths, batch_size=10):
        """Records: {"hash", "path"} for each file in order, or {"error",
        "path"} for one that could not be hashed (the wire carries a bare
        error string in that file's place; its path is put back here)."""
        return FileRecords(self, "audioHash", paths, batch_size)

    def fingerprints(self, paths, types=("CMX",), batch_size=10):
        """Records: {"CMX": ..., "MICRO": ..., "NANO": ..., "path"} with one key
        per requested type, or {"error", "path"}, for each file in order."""
        return FileRecords(self, "fingerprints", paths, batch_size, {"fingerprintTypes": list(types)})


class Scan:
    """The records of one scan, yielded as they arrive: "song", "duplicate",
    "replacement", "playlist" and last the "report" (also kept in
    ``report``). A scan whose walk fails still sends its report; it is
    yielded, and then ScanError is raised. A parameter error raises
    HelperError at once."""

    #: How long to wait, after an error of the walk, for the report that
    #: follows it at once; only a broken helper makes this matter.
    REPORT_AFTER_ERROR_TIMEOUT = 30

    def __init__(self, helper, command, arg):
        self.command = command
        self.libraries = None
        self.report = None
        self._helper = helper
        self._id = helper.request(command, arg)
        self._read = False

    def __del__(self):
        # Never iterated: nobody will read the responses.
        if not getattr(self, "_read", True):
            self._helper.abandon(self._id)

    def __iter__(self):
        if self._read:
            raise RuntimeError("the records of a scan can be read once")
        self._read = True
        return self._records()

    def _records(self):
        error = None
        first = True
        envelopes = self._helper.envelopes(self._id)
        while True:
            try:
                envelope = next(envelopes)
            except StopIteration:
                break
            except ResponseTimeout:
                self._helper.abandon(self._id)
                break
            data = envelope.get("data")
            text = Helper.error_text(data)
            if text is not None:
                # An error carries "done" true; only an error of the walk is
                # followed by more, so only then is the request followed on.
                if text.startswith((SCAN_PARAMETER_ERROR, UNKNOWN_COMMAND)):
                    raise HelperError(text)
                error = text
                envelopes = self._helper.envelopes(self._id, self.REPORT_AFTER_ERROR_TIMEOUT)
                continue
            if first and self.command == "scanMediaLibs":
                first = False
                self.libraries = data if isinstance(data, list) else []
                continue
            first = False
            for record in (data if isinstance(data, list) else []):
                if isinstance(record, dict) and record.get("objectType") == "report":
                    self.report = record
                yield record
            if envelope.get("done") is True:
                break
        if error is not None:
            raise ScanError(error, self.report)


class FileRecords:
    """The records of one file-list command, yielded as they arrive; after the
    iteration ``count`` holds the helper's count of successes."""

    def __init__(self, helper, command, paths, batch_size, extra=None):
        self.command = command
        self.paths = [os.fspath(p) for p in paths]
        self.count = None
        self.unread = []
        self._helper = helper
        arg = dict(extra or {})
        arg["filePaths"] = self.paths
        arg["batchSize"] = batch_size
        self._id = helper.request(command, arg)
        self._read = False

    def __del__(self):
        # Never iterated: nobody will read the responses.
        if not getattr(self, "_read", True):
            self._helper.abandon(self._id)

    def __iter__(self):
        if self._read:
            raise RuntimeError("the records of a request can be read once")
        self._read = True
        return self._records()

    def _records(self):
        position = 0
        for envelope in self._helper.envelopes(self._id):
            data = envelope.get("data")
            text = Helper.error_text(data)
            if text is not None:
                raise HelperError(text)
            if envelope.get("done") is True and isinstance(data, dict) and "count" in data:
                self.count = data["count"]
                break
            for entry in (data if isinstance(data, list) else []):
                if self.command == "audioHash":
                    path = self.paths[position] if position < len(self.paths) else None
                    position += 1
                    if isinstance(entry, str):
                        entry = {"error": entry, "path": path}
                elif self.command == "extractMetadataFromFiles" and isinstance(entry, dict):
                    # Readable files come in request order: the ones passed
                    # over before this one could not be read.
                    try:
                        found = self.paths.index(entry.get("path"), position)
                    except ValueError:
                        found = None
                    if found is not None:
                        self.unread.extend(self.paths[position:found])
                        position = found + 1
                yield entry
        if self.command == "extractMetadataFromFiles":
            self.unread.extend(self.paths[position:])
