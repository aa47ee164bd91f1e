"""A server of the SDK running in the test's event loop, and a client that speaks the wire to it
frame by frame, so that tests can send what no well-behaved client would."""

import asyncio
import contextlib
import json
import os
import struct
import tempfile

import brindle_server as bs

HEADER = struct.Struct(">II")


class Client:
    def __init__(self, reader, writer):
        self.reader, self.writer = reader, writer
        self.next_id = 0

    @classmethod
    async def connect(cls, endpoint):
        reader, writer = await asyncio.open_unix_connection(endpoint, limit=1 << 25)
        return cls(reader, writer)

    def send_raw(self, data):
        self.writer.write(data)

    def send(self, obj, payload=b""):
        text = json.dumps(obj).encode()
        self.send_raw(HEADER.pack(len(text), len(payload)) + text + payload)

    async def receive(self, timeout=10):
        """(reply, payload), or None once the server closed the connection."""
        try:
            header = await asyncio.wait_for(self.reader.readexactly(8), timeout)
        except asyncio.IncompleteReadError:
            return None
        json_length, payload_length = HEADER.unpack(header)
        body = await self.reader.readexactly(json_length + payload_length)
        return json.loads(body[:json_length]), body[json_length:]

    async def call(self, method, payload=b"", **keys):
        self.next_id += 1
        self.send({"method": method, "request_id": self.next_id, **keys}, payload)
        reply, data = await self.receive()
        assert reply["request_id"] == self.next_id, reply
        return reply, data

    async def handshake(self, token):
        return await self.call("handshake", auth_token=token)

    async def closed(self, timeout=10):
        """True when the server closes the connection within the timeout."""
        try:
            return await asyncio.wait_for(self.reader.read(1), timeout) == b""
        except ConnectionError:
            return True

    def close(self):
        self.writer.close()


@contextlib.asynccontextmanager
async def running(fs, **options):
    """(server, session file object) of a server of `fs` listening beside a fresh session file."""
    with tempfile.TemporaryDirectory(prefix="brindle-sdk-") as directory:
        server = bs.Server(fs, bs.ServerOptions(session_file=os.path.join(directory, "s.json"), **options))
        await server.start()
        try:
            with open(os.path.join(directory, "s.json")) as file:
                yield server, json.load(file)
        finally:
            await server.stop()


@contextlib.asynccontextmanager
async def connected(fs, **options):
    """A client already past its handshake with a server of `fs`."""
    async with running(fs, **options) as (server, session):
        client = await Client.connect(session["socket_path"])
        reply, _ = await client.handshake(session["auth_token"])
        assert reply["ok"], reply
        try:
            yield client
        finally:
            client.close()
