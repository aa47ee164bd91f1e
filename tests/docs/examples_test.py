#!/usr/bin/env python3
"""Sends every example of docs/protocol.md to a real brindle-server and holds each reply against
the one the document shows.

  examples_test.py BRINDLE_SERVER DOCUMENT SCHEMA

The examples are the document's ```exchange blocks (→ a request, ← a reply, "payload" lines for
the bytes after the JSON) and its ```frame-hex block, whose bytes are sent as they stand. They run
as one session on the export the document describes: the handshake first, then the rest in the
order of the document. A word in angle brackets is a value the server chooses; the same word must
be the same value throughout, except the free words, which match any number.
"""

import json
import os
import pathlib
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time

FREE_WORDS = {"sec", "nsec", "bytes", "count"}
PLACEHOLDER = re.compile(r'"<([a-z0-9_]+)>"|<([a-z0-9_]+)>')
MARK = "\0placeholder:"
BLOCK = re.compile(r"^```(exchange|frame-hex)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
HEADER = struct.Struct(">II")


class ExampleError(Exception):
    pass


class Frame:
    def __init__(self, line, direction, text):
        self.line = line
        self.direction = direction
        self.text = text
        self.payload = b""
        self.raw = None  # the bytes of a frame-hex block, sent instead of the text


def read_examples(document):
    """The (request, reply) pairs of the document, in its order."""
    exchanges = []
    hex_frame = None
    for block in BLOCK.finditer(document):
        first_line = document.count("\n", 0, block.start(2)) + 1
        if block.group(1) == "frame-hex":
            hex_frame = bytes(int(token, 16) for line in block.group(2).splitlines()
                              for token in re.match(r"((?:[0-9a-f]{2} )*[0-9a-f]{2})", line).group(1).split())
            continue
        frames = []
        for offset, line in enumerate(block.group(2).splitlines()):
            number = first_line + offset
            if line.startswith(("→ payload ", "← payload ")):
                frames[-1].payload = json.loads(line.split(" ", 2)[2]).encode()
            elif line.startswith(("→ ", "← ")):
                frames.append(Frame(number, line[0], line[2:]))
            elif line.startswith(" ") and frames:
                frames[-1].text += line.strip()
            else:
                raise ExampleError(f"line {number}: not part of an exchange: {line!r}")
        if [frame.direction for frame in frames] != ["→", "←"] * (len(frames) // 2) or len(frames) % 2:
            raise ExampleError(f"line {first_line}: an exchange is requests each followed by its reply")
        pairs = list(zip(frames[0::2], frames[1::2]))
        if hex_frame is not None:
            pairs[0][0].raw = hex_frame
            hex_frame = None
        exchanges += pairs
    return exchanges


def parse_expected(frame):
    """The reply as JSON, each placeholder a marked string."""
    marked = PLACEHOLDER.sub(lambda m: json.dumps(MARK + ("s:" + m.group(1) if m.group(1) else "n:" + m.group(2))),
                             frame.text)
    return json.loads(marked)


class Session:
    def __init__(self, session_file):
        session = json.loads(pathlib.Path(session_file).read_text())
        self.bindings = {"token": session["auth_token"], "session_id": session["session_id"]}
        self.socket = socket.socket(socket.AF_UNIX)
        self.socket.settimeout(10)
        self.socket.connect(session["socket_path"])

    def request_bytes(self, frame):
        def value(match):
            word = match.group(1) or match.group(2)
            if word not in self.bindings:
                raise ExampleError(f"line {frame.line}: <{word}> is used before a reply gave it")
            return json.dumps(self.bindings[word]) if match.group(1) else str(self.bindings[word])

        text = PLACEHOLDER.sub(value, frame.text).encode()
        json.loads(text)
        if frame.raw is None:
            return HEADER.pack(len(text), len(frame.payload)) + text + frame.payload
        if frame.raw != HEADER.pack(len(text), len(frame.payload)) + text + frame.payload:
            raise ExampleError(f"line {frame.line}: the hex frame is not the header and the JSON shown after it")
        return frame.raw

    def receive_exactly(self, count):
        data = b""
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            if not chunk:
                raise ExampleError("the server closed the connection")
            data += chunk
        return data

    def call(self, frame):
        self.socket.sendall(self.request_bytes(frame))
        json_length, payload_length = HEADER.unpack(self.receive_exactly(HEADER.size))
        body = self.receive_exactly(json_length + payload_length)
        return json.loads(body[:json_length]), body[json_length:]

    def match(self, expected, actual, where):
        if isinstance(expected, str) and expected.startswith(MARK):
            kind, word = expected[len(MARK):].split(":", 1)
            wanted_type = str if kind == "s" else int
            if type(actual) is not wanted_type:
                raise ExampleError(f"{where}: <{word}> should be a {wanted_type.__name__}, the server sent {actual!r}")
            if word in FREE_WORDS:
                return
            if word in self.bindings and self.bindings[word] != actual:
                raise ExampleError(f"{where}: <{word}> is {self.bindings[word]!r} before, {actual!r} here")
            self.bindings[word] = actual
        elif isinstance(expected, dict):
            if not isinstance(actual, dict) or set(expected) != set(actual):
                raise ExampleError(f"{where}: the keys differ: shown {sorted(expected)}, "
                                   f"sent {sorted(actual) if isinstance(actual, dict) else actual!r}")
            for key in expected:
                self.match(expected[key], actual[key], f"{where}.{key}")
        elif isinstance(expected, list):
            if not isinstance(actual, list) or len(expected) != len(actual):
                raise ExampleError(f"{where}: shown {len(expected)} elements, the server sent {actual!r}")
            for index, (shown, sent) in enumerate(zip(expected, actual)):
                self.match(shown, sent, f"{where}[{index}]")
        elif type(expected) is not type(actual) or expected != actual:
            raise ExampleError(f"{where}: shown {expected!r}, the server sent {actual!r}")


def in_listing_order(expected, actual, pool, where):
    """A listing's entries as shown, put in the order the server listed them: each entry is the one
    shown under its name, anywhere in the listing, with the cookie shown at its place."""
    entries = actual.get("dir_items") if isinstance(actual, dict) else None
    if not isinstance(entries, list) or not isinstance(expected.get("dir_items"), list):
        return expected
    shown = expected["dir_items"]
    reordered = []
    for index, entry in enumerate(entries[:len(shown)]):
        name = entry.get("name") if isinstance(entry, dict) else None
        if name not in pool:
            raise ExampleError(f"{where}: the server listed {name!r}, which the listing shows nowhere "
                               f"or shows already (left: {sorted(pool)})")
        placed = dict(pool.pop(name))
        placed["next_cookie"] = shown[index]["next_cookie"]
        reordered.append(placed)
    return {**expected, "dir_items": reordered + shown[len(reordered):]}


def prepare_export(directory):
    export = pathlib.Path(directory, "export")
    (export / "docs").mkdir(parents=True)
    (export / "hello.txt").write_bytes(b"Hello, world\n")
    for name in ("a.txt", "b.txt", "c.txt"):
        (export / "docs" / name).touch()
        os.chmod(export / "docs" / name, 0o644)
    os.chmod(export / "hello.txt", 0o644)
    os.chmod(export / "docs", 0o755)
    os.chmod(export, 0o755)
    os.symlink("hello.txt", export / "link")
    return export


def run(server_binary, document_path, schema_path):
    exchanges = read_examples(document_path.read_text(encoding="utf-8"))
    schema = json.loads(schema_path.read_text(encoding="utf-8"))
    methods = {json.loads(PLACEHOLDER.sub("0", request.text))["method"] for request, _ in exchanges}
    undocumented = sorted(set(schema["methods"]) - methods)
    if undocumented:
        raise ExampleError("methods without an example: " + ", ".join(undocumented))
    exchanges.sort(key=lambda pair: json.loads(PLACEHOLDER.sub("0", pair[0].text))["method"] != "handshake")

    with tempfile.TemporaryDirectory(prefix="brindle-docs-") as directory:
        export = prepare_export(directory)
        session_file = pathlib.Path(directory, "session.json")
        log = open(pathlib.Path(directory, "server.log"), "w+")
        server = subprocess.Popen([server_binary, "--export", str(export), "--session-file", str(session_file),
                                   "--namedattr", "-f"], stdout=log, stderr=subprocess.STDOUT)
        try:
            deadline = time.monotonic() + 10
            while not session_file.exists():
                if server.poll() is not None or time.monotonic() > deadline:
                    log.seek(0)
                    raise ExampleError("brindle-server did not start:\n" + log.read())
                time.sleep(0.05)
            session = Session(session_file)
            pool = {}
            for request, reply in exchanges:
                method = json.loads(PLACEHOLDER.sub("0", request.text))["method"]
                expected = parse_expected(reply)
                if method != "enumerate_directory":
                    pool = {}
                elif not pool:
                    # A listing's entries: this exchange's and those of the ones that follow it.
                    start = exchanges.index((request, reply))
                    for _, later in exchanges[start:]:
                        listed = parse_expected(later).get("dir_items")
                        if listed is None:
                            break
                        pool.update({entry["name"]: entry for entry in listed})
                actual, payload = session.call(request)
                where = f"line {reply.line}"
                if method == "enumerate_directory":
                    expected = in_listing_order(expected, actual, pool, where)
                session.match(expected, actual, where)
                if payload != reply.payload:
                    raise ExampleError(f"{where}: shown payload {reply.payload!r}, the server sent {payload!r}")
        finally:
            server.terminate()
            server.wait(timeout=10)
    return len(exchanges)


def main(argv):
    if len(argv) != 4:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    try:
        count = run(argv[1], pathlib.Path(argv[2]), pathlib.Path(argv[3]))
    except (ExampleError, OSError, ValueError) as error:
        print(f"examples_test: FAIL: {argv[2]}: {error}")
        return 1
    print(f"examples_test: all {count} exchanges of the document hold against brindle-server")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
