"""Frames: an 8-byte header (JSON length, payload length, both big-endian 32-bit), one compact
JSON object, then the raw payload."""

import asyncio
import json
import struct

HEADER = struct.Struct(">II")
# Neither end takes a frame whose JSON and payload together are larger.
MAX_BODY = 16 * 1024 * 1024


class FrameError(Exception):
    """The stream cannot be read on: the connection it came from must close."""


def _refuse_constant(name):
    raise ValueError(f"{name} is not a JSON number")


def parse_object(text):
    """The JSON object in `text` (bytes), or FrameError."""
    try:
        value = json.loads(text.decode("utf-8"), parse_constant=_refuse_constant)
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise FrameError(f"the frame's JSON cannot be read: {error}") from None
    if not isinstance(value, dict):
        raise FrameError("the frame's JSON is not an object")
    return value


async def read_frame(reader, max_body=MAX_BODY):
    """(object, payload) of the next frame; None when the peer closed the stream between frames."""
    try:
        header = await reader.readexactly(HEADER.size)
    except asyncio.IncompleteReadError as partial:
        if not partial.partial:
            return None
        raise FrameError("the peer closed the stream inside a frame header") from None
    json_length, payload_length = HEADER.unpack(header)
    if json_length + payload_length > max_body:
        raise FrameError(f"a frame announces {json_length + payload_length} bytes, more than {max_body}")
    try:
        body = await reader.readexactly(json_length + payload_length)
    except asyncio.IncompleteReadError:
        raise FrameError("the peer closed the stream inside a frame") from None
    return parse_object(body[:json_length]), body[json_length:]


def encode_frame(obj, payload=b""):
    """The pieces of one frame, for one writelines call. Raises UnicodeEncodeError when a string
    in `obj` holds a lone surrogate, which is no UTF-8."""
    text = json.dumps(obj, separators=(",", ":"), ensure_ascii=False, allow_nan=False).encode("utf-8")
    return [HEADER.pack(len(text), len(payload)), text, payload]
