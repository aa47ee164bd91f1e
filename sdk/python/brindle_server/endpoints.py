"""Listening sockets: a Unix socket (0600, beside the session file by default) or TCP (under TLS
for tls://), loopback unless remote clients are allowed."""

import ipaddress
import os
import socket
import stat

from .ownership import refuse_another_owners_object

UNIX_PREFIX = "unix:"
TCP_PREFIX = "tcp://"
TLS_PREFIX = "tls://"
# The client's socket address holds at most 103 bytes of path.
MAX_UNIX_PATH = 103
BACKLOG = 64


class EndpointError(Exception):
    """A listen address that cannot be served, with what to do about it."""


def _unix_connects(path):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.setblocking(False)
    try:
        probe.connect(path)
        return True
    except (ConnectionRefusedError, FileNotFoundError):
        return False
    except BlockingIOError:
        return True  # its queue is full: somebody listens
    except OSError:
        return False
    finally:
        probe.close()


def _tcp_connects(host, port):
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


def split_tcp(authority):
    """(host, port) of "HOST:PORT", split at the last colon as clients do; [::1] loses its brackets."""
    colon = authority.rfind(":")
    if colon <= 0 or colon == len(authority) - 1:
        raise EndpointError(f"address {authority!r} needs a host and a port, as tls://127.0.0.1:7000")
    host, port = authority[:colon], authority[colon + 1:]
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host, port


def answers(endpoint):
    """Whether a server accepts connections at a session file's endpoint."""
    for prefix in (TCP_PREFIX, TLS_PREFIX):
        if endpoint.startswith(prefix):
            try:
                return _tcp_connects(*split_tcp(endpoint[len(prefix):]))
            except EndpointError:
                return False
    return _unix_connects(endpoint)


def listen_unix(path):
    """A listening Unix socket only its owner may connect to. A socket file left by a server that
    is gone is replaced; a live server's never, nor anything that is not a socket."""
    if not path or len(os.fsencode(path)) > MAX_UNIX_PATH:
        raise EndpointError(f"socket path {path!r} must have 1 to {MAX_UNIX_PATH} bytes; choose a shorter one")
    refuse_another_owners_object(path)
    try:
        existing = os.lstat(path)
    except FileNotFoundError:
        existing = None
    if existing is not None:
        if not stat.S_ISSOCK(existing.st_mode):
            raise EndpointError(f"{path} exists and is not a socket; remove it or listen elsewhere")
        if _unix_connects(path):
            raise EndpointError(f"a server already listens on {path}")
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    previous = os.umask(0o177)
    try:
        sock.bind(path)
    except OSError as error:
        sock.close()
        raise EndpointError(f"cannot bind {path}: {error.strerror}") from None
    finally:
        os.umask(previous)
    sock.listen(BACKLOG)
    return sock, path


def is_loopback(address):
    return ipaddress.ip_address(address.split("%", 1)[0]).is_loopback


def listen_tcp(authority, allow_remote, prefix=TCP_PREFIX):
    """A listening TCP socket and the endpoint a client connects to (port 0 takes a free one)."""
    host, port = split_tcp(authority)
    try:
        candidates = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as error:
        raise EndpointError(f"cannot resolve {authority}: {error.strerror}") from None
    failure = None
    for family, kind, protocol, _, address in candidates:
        if not allow_remote and not is_loopback(address[0]):
            failure = (f"refusing to listen on {host}, which is not loopback "
                       "(--allow-remote, or allow_remote=True, allows it)")
            continue
        sock = socket.socket(family, kind, protocol)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind(address)
            sock.listen(BACKLOG)
        except OSError as error:
            sock.close()
            failure = f"cannot listen on {authority}: {error.strerror}"
            continue
        bound_host, bound_port = sock.getsockname()[:2]
        # Clients split at the last colon, so an IPv6 host goes without brackets.
        return sock, f"{prefix}{bound_host}:{bound_port}"
    raise EndpointError(failure or f"no address to listen on for {authority}")


def listen(address, session_file, allow_remote):
    """(socket, endpoint for the session file, Unix path to remove at the end or None)."""
    if address is None:
        address = UNIX_PREFIX + session_file + ".sock"
    if address.startswith(UNIX_PREFIX):
        sock, path = listen_unix(os.path.abspath(address[len(UNIX_PREFIX):]))
        return sock, path, path
    for prefix in (TLS_PREFIX, TCP_PREFIX):
        if address.startswith(prefix):
            sock, endpoint = listen_tcp(address[len(prefix):], allow_remote, prefix)
            return sock, endpoint, None
    raise EndpointError(f"listen address {address!r} must be unix:PATH, tls://HOST:PORT or tcp://HOST:PORT")

