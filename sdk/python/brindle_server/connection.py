"""One client connection: its handshake under a deadline, then its requests, answered
concurrently and each with the request's "request_id". A frame that cannot be read closes this
connection only."""

import asyncio
import hmac
import logging

from .calls import Call, call_handler, enter
from .dispatcher import dispatch, error_reply
from .errors import DARWIN_ERRNO
from .framing import FrameError, encode_frame, read_frame
from .listings import DirectoryHandles

log = logging.getLogger("brindle_server")

# A stranger's first frame is a handshake: a few hundred bytes.
HANDSHAKE_MAX_BODY = 4096
# Requests of one connection being served at once; the next is read when one is answered.
MAX_IN_FLIGHT = 64


class Session:
    """What an authenticated connection holds: its directory handles with their listings and the
    nodes it opened."""

    def __init__(self, fs, options, connection_id):
        self.fs = fs
        self.options = options
        self.connection_id = connection_id
        self.directories = DirectoryHandles()
        self.opened = set()


def _with_request_id(reply, request):
    if isinstance(request, dict) and "request_id" in request:
        reply["request_id"] = request["request_id"]
    return reply


async def _send(writer, reply, payload, stall_deadline):
    try:
        writer.writelines(encode_frame(reply, payload))
    except UnicodeEncodeError:
        writer.writelines(encode_frame(_with_request_id(
            error_reply(DARWIN_ERRNO["EIO"], "the reply holds text that is not UTF-8"), reply)))
    # A client that takes none of its replies for the deadline is cut off. Most replies go out
    # whole at once, and then there is nothing to wait for.
    if writer.transport.get_write_buffer_size():
        await asyncio.wait_for(writer.drain(), stall_deadline)


async def handshake(reader, writer, secrets, extensions, deadline, has_room):
    """True when the peer proved the token and there is room to serve it; a refused peer has
    been told why."""
    try:
        frame = await asyncio.wait_for(read_frame(reader, HANDSHAKE_MAX_BODY), deadline)
    except (FrameError, asyncio.TimeoutError, ConnectionError) as error:
        log.debug("server closes a connection before its handshake: %s", error or "deadline passed")
        return False
    if frame is None:
        return False
    request, _ = frame
    if request.get("method") != "handshake":
        reply = error_reply(DARWIN_ERRNO["EPERM"], "handshake required")
    else:
        token = request.get("auth_token")
        given = token.encode("utf-8", "surrogatepass") if isinstance(token, str) else b""
        if not hmac.compare_digest(given, secrets.auth_token.encode("utf-8")):
            log.error("server handshake rejected")
            reply = error_reply(DARWIN_ERRNO["EPERM"], "authentication failed")
        elif not has_room():
            log.error("server turned a client away: it serves as many clients as it may")
            reply = error_reply(DARWIN_ERRNO["EAGAIN"], "the server serves too many clients; try again later")
        else:
            reply = {"ok": True, "session_id": secrets.session_id, "extensions": list(extensions)}
            await _send(writer, _with_request_id(reply, request), b"", deadline)
            return True
    await _send(writer, _with_request_id(reply, request), b"", deadline)
    return False


async def serve_requests(reader, writer, session, executor, stall_deadline):
    """Answers requests until the peer goes or sends a frame that cannot be read; then releases
    what the connection held."""
    in_flight = asyncio.Semaphore(MAX_IN_FLIGHT)
    tasks = set()

    async def answer(request, payload):
        try:
            enter(Call(session.connection_id, request.get("method"), executor))
            reply, reply_payload = await dispatch(session, request, payload)
            await _send(writer, _with_request_id(reply, request), reply_payload, stall_deadline)
        except (ConnectionError, asyncio.TimeoutError):
            writer.transport.abort()
        finally:
            in_flight.release()

    try:
        while True:
            await in_flight.acquire()
            try:
                frame = await read_frame(reader)
            except (FrameError, ConnectionError) as error:
                log.debug("server connection closed: %s", error)
                break
            if frame is None:
                break
            task = asyncio.create_task(answer(*frame))
            tasks.add(task)
            task.add_done_callback(tasks.discard)
    finally:
        if tasks:
            await asyncio.gather(*tasks, return_exceptions=True)
        await _release(session, executor)


async def _release(session, executor):
    enter(Call(session.connection_id, "close", executor))
    for node_id in sorted(session.opened):
        try:
            await call_handler(session.fs.close, node_id, 0)
        except Exception:  # noqa: BLE001 - one failed release must not keep the others
            log.exception("server: closing node %d after its connection ended failed", node_id)
    session.opened.clear()
    enter(Call(session.connection_id, "connection_ended", executor))
    try:
        await call_handler(session.fs.connection_ended, session.connection_id)
    except Exception:  # noqa: BLE001
        log.exception("server: connection_ended failed")
