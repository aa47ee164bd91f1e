"""Routes an authenticated request to its method and turns every outcome into a reply: a
refusal the options decide, the handler's result, or its failure. No handler's failure ends the
connection or the server."""

import dataclasses
import logging

from . import methods
from .errors import DARWIN_ERRNO, HandlerFault, WireError, wire_error_of
from .request import Request

log = logging.getLogger("brindle_server")


@dataclasses.dataclass(frozen=True)
class Capabilities:
    """What the server offers beyond reading: the session file announces the first two."""

    readonly: bool = False
    xattrs: bool = False
    symlinks: bool = True


def error_reply(darwin, message):
    return {"ok": False, "errno": darwin, "error": message}


def _refusal(capabilities, method):
    if method in methods.CHANGING and capabilities.readonly:
        return error_reply(DARWIN_ERRNO["EROFS"], f"{method}: the file system is read-only")
    if method in methods.XATTRS and not capabilities.xattrs:
        return error_reply(DARWIN_ERRNO["ENOTSUP"], f"{method}: extended attributes are not enabled")
    if method == "create_symlink" and not capabilities.symlinks:
        return error_reply(DARWIN_ERRNO["ENOTSUP"], f"{method}: this file system has no symbolic links")
    return None


async def dispatch(session, obj, payload):
    """(reply object without "request_id", payload) for one request."""
    method = obj.get("method")
    if not isinstance(method, str):
        return error_reply(DARWIN_ERRNO["EINVAL"], "a request without \"method\""), b""
    if method == "handshake":
        return error_reply(DARWIN_ERRNO["EINVAL"], "handshake: already authenticated"), b""
    serve = methods.METHODS.get(method)
    if serve is None:
        return error_reply(DARWIN_ERRNO["ENOTSUP"], f"unknown method {method!r}"), b""
    refused = _refusal(session.options, method)
    if refused:
        return refused, b""
    try:
        keys, reply_payload = await serve(session, Request(obj, payload, method))
    except HandlerFault as fault:
        log.error("server answered EIO: %s", fault.message)
        return error_reply(fault.darwin, fault.message), b""
    except WireError as error:
        log.debug("server refused %s: %s", method, error.message)
        return error_reply(error.darwin, error.message), b""
    except OSError as error:
        return error_reply(*wire_error_of(error)), b""
    except Exception as error:  # noqa: BLE001 - a handler's bug must not end the server
        log.exception("server: the %s handler raised %s", method, type(error).__name__)
        return error_reply(DARWIN_ERRNO["EIO"], f"{method}: the server failed ({type(error).__name__})"), b""
    return {"ok": True, **keys}, reply_payload
