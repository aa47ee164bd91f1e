"""A running server: the listener, the door that holds each stranger until its handshake, the
served connections, the thread pool for plain handlers, and the session file, which exists
exactly while the server listens."""

import asyncio
import collections
import concurrent.futures
import dataclasses
import logging
import os
import pwd
import socket
import ssl

from . import endpoints
from .connection import Session, handshake, serve_requests
from .dispatcher import Capabilities
from .nodes import NodeFileSystem
from .ownership import refuse_another_owners_object
from .paths import PathFileSystem, PathNodes
from .paths import implements_xattrs as paths_implement_xattrs
from .session import SessionSecrets, read_session_file, remove_session_file, write_session_file
from .tls import ServerCertificate

log = logging.getLogger("brindle_server")

# Room in each socket for a whole 1 MiB read reply and more.
SOCKET_BUFFER = 4 * 1024 * 1024
# What one stream may buffer before reading pauses: a whole write request.
STREAM_LIMIT = 2 * 1024 * 1024
# Seconds the requests being served get to finish when the server stops.
STOP_GRACE = 5


@dataclasses.dataclass
class ServerOptions:
    session_file: str
    # unix:PATH, tls://HOST:PORT or tcp://HOST:PORT; by default a Unix socket beside the session file.
    listen: str | None = None
    volume_name: str = ""
    readonly: bool = False
    # None: as the file system implements extended attributes or not.
    xattrs: bool | None = None
    symlinks: bool = True
    allow_remote: bool = False
    # Allows a non-loopback address with plain tcp://, where the token and file data cross the
    # network in clear text.
    allow_unencrypted_remote: bool = False
    # The PEM certificate (chain) and key a tls:// server shows; both None: a fresh self-signed
    # certificate at each start, whose fingerprint the session file pins.
    tls_certificate: str | None = None
    tls_key: str | None = None
    threads: int = 8
    # Names of protocol extensions the file system implements, announced in the handshake.
    extensions: tuple = ()
    max_clients: int = 256
    max_unauthenticated: int = 1024
    handshake_deadline: float = 10.0
    stall_deadline: float = 30.0


def implements_xattrs(fs):
    if isinstance(fs, PathFileSystem):
        return paths_implement_xattrs(fs)
    return type(fs).get_xattr is not NodeFileSystem.get_xattr


class Server:
    def __init__(self, fs, options):
        self.fs = PathNodes(fs) if isinstance(fs, PathFileSystem) else fs
        self.options = options
        xattrs = implements_xattrs(fs) if options.xattrs is None else options.xattrs
        self.capabilities = Capabilities(readonly=options.readonly, xattrs=xattrs, symlinks=options.symlinks)
        self.secrets = SessionSecrets.fresh()
        self.endpoint = None
        self._session_file = os.path.abspath(options.session_file)
        self._unix_path = None
        self._listener = None
        self._executor = None
        self._strangers = collections.OrderedDict()  # writer -> None, oldest first
        self._clients = set()
        self._tasks = set()
        self._next_connection = 0
        self._tls_context = None

    async def start(self):
        """Listens and writes the session file; raises EndpointError or OSError when it cannot."""
        refuse_another_owners_object(self._session_file)
        existing = read_session_file(self._session_file)
        if existing and isinstance(existing.get("socket_path"), str) and endpoints.answers(existing["socket_path"]):
            raise endpoints.EndpointError(
                f"the server of {self._session_file} still answers at {existing['socket_path']}")
        certificate = self._certificate()
        sock, self.endpoint, self._unix_path = endpoints.listen(self.options.listen, self._session_file,
                                                               self.options.allow_remote)
        plain_tcp = self.endpoint.startswith(endpoints.TCP_PREFIX)
        if plain_tcp and not self.options.allow_unencrypted_remote and not endpoints.is_loopback(
                sock.getsockname()[0]):
            sock.close()
            raise endpoints.EndpointError(
                f"refusing to serve {self.endpoint} beyond this machine in clear text: listen on tls:// instead "
                "(or pass --allow-unencrypted-remote)")
        self._tls_context = certificate.context if certificate else None
        self._executor = concurrent.futures.ThreadPoolExecutor(self.options.threads,
                                                               thread_name_prefix="brindle-handler")
        try:
            if self._unix_path:
                self._listener = await asyncio.start_unix_server(self._accept, sock=sock, limit=STREAM_LIMIT)
            else:
                self._listener = await asyncio.start_server(self._accept, sock=sock, limit=STREAM_LIMIT)
            write_session_file(self._session_file, self.secrets, self.endpoint, self.options.volume_name,
                               self.capabilities.xattrs, self.capabilities.readonly,
                               tls_pin=certificate.pin if certificate else None,
                               server_user=pwd.getpwuid(os.geteuid()).pw_name if self._unix_path else None)
        except BaseException:
            if self._listener is None:
                sock.close()
            await self.stop()
            raise
        if plain_tcp:
            log.error("server listens on plain %s: the token and all file data cross the network unencrypted, "
                      "and clients cannot tell this server from another (tls:// would)", self.endpoint)
        if certificate:
            log.info("server certificate %s", certificate.pin)
        log.info("server serving at %s, session file %s", self.endpoint, self._session_file)

    def _certificate(self):
        """The certificate a tls:// listener shows, or None for other listeners."""
        options = self.options
        if (options.tls_certificate is None) != (options.tls_key is None):
            raise endpoints.EndpointError("a TLS certificate and its key go together: give both or neither")
        if not (options.listen or "").startswith(endpoints.TLS_PREFIX):
            return None
        if options.tls_certificate is None:
            return ServerCertificate.fresh()
        return ServerCertificate.load(options.tls_certificate, options.tls_key)

    async def stop(self):
        """Closes every connection, removes the socket and the session file. Safe to repeat."""
        if self._listener is not None:
            self._listener.close()
            self._listener = None
            remove_session_file(self._session_file, self.secrets.session_id)
        if self._unix_path:
            try:
                os.unlink(self._unix_path)
            except FileNotFoundError:
                pass
            self._unix_path = None
        for writer in list(self._strangers) + list(self._clients):
            writer.transport.abort()
        # A handler that never returns must not keep the server from stopping.
        if self._tasks:
            await asyncio.wait(list(self._tasks), timeout=STOP_GRACE)
        if self._executor is not None:
            self._executor.shutdown(wait=False, cancel_futures=True)
            self._executor = None

    async def _accept(self, reader, writer):
        task = asyncio.current_task()
        self._tasks.add(task)
        try:
            await self._connection(reader, writer)
        finally:
            self._tasks.discard(task)
            writer.transport.abort()

    async def _connection(self, reader, writer):
        sock = writer.get_extra_info("socket")
        if sock is not None:
            for option in (socket.SO_SNDBUF, socket.SO_RCVBUF):
                sock.setsockopt(socket.SOL_SOCKET, option, SOCKET_BUFFER)
        # A crowd of idle strangers costs the token holder at most one place: the oldest goes.
        if len(self._strangers) >= self.options.max_unauthenticated:
            oldest = next(iter(self._strangers))
            self._strangers.pop(oldest)
            oldest.transport.abort()
        self._strangers[writer] = None
        try:
            # TLS starts here rather than in the listener, so that a stranger's failed TLS handshake
            # counts among the strangers and ends quietly instead of as an error in the log.
            if self._tls_context is not None:
                await writer.start_tls(self._tls_context, ssl_handshake_timeout=self.options.handshake_deadline)
            admitted = await handshake(reader, writer, self.secrets, self.options.extensions,
                                       self.options.handshake_deadline,
                                       lambda: len(self._clients) < self.options.max_clients)
        except (ConnectionError, asyncio.TimeoutError):
            admitted = False
        except ssl.SSLError as error:
            log.debug("refused a connection whose TLS handshake failed: %s", error.reason or error)
            admitted = False
        finally:
            self._strangers.pop(writer, None)
        if not admitted or writer.transport.is_closing():
            return
        self._next_connection += 1
        self._clients.add(writer)
        try:
            await serve_requests(reader, writer, Session(self.fs, self.capabilities, self._next_connection),
                                 self._executor, self.options.stall_deadline)
        finally:
            self._clients.discard(writer)
