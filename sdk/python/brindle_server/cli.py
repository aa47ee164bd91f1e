"""The command line every server built on the SDK shares, and running a server until SIGINT or
SIGTERM."""

import argparse
import asyncio
import logging
import signal
import sys

from . import __version__
from .endpoints import EndpointError
from .server import Server, ServerOptions
from .tls import CertificateError

log = logging.getLogger("brindle_server")


def argument_parser(prog, description):
    """The shared options; add the server's own before parsing."""
    parser = argparse.ArgumentParser(prog=prog, description=description,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--session-file", required=True, metavar="PATH",
                        help="the session file to write, which brindle mounts with (removed on exit)")
    parser.add_argument("--export-name", default="", metavar="NAME", help="the volume's name")
    parser.add_argument("--listen", metavar="ADDRESS",
                        help="unix:PATH, tls://HOST:PORT or tcp://HOST:PORT "
                        "(default: a Unix socket PATH.sock beside the session file)")
    parser.add_argument("--allow-remote", action="store_true", help="allow a TCP address that is not loopback")
    parser.add_argument("--allow-unencrypted-remote", action="store_true",
                        help="allow --allow-remote with tcp:// (sends the token in clear text)")
    parser.add_argument("--tls-cert", metavar="FILE",
                        help="the certificate (PEM) a tls:// server shows; default: a fresh self-signed one")
    parser.add_argument("--tls-key", metavar="FILE", help="the key (PEM) of --tls-cert")
    parser.add_argument("--readonly", action="store_true", help="refuse every change")
    parser.add_argument("--no-xattrs", action="store_true", help="offer no extended attributes")
    parser.add_argument("--no-symlinks", action="store_true", help="refuse to create symbolic links")
    parser.add_argument("--threads", type=_thread_count, default=8, metavar="N",
                        help="threads for handlers that are not async (default 8)")
    parser.add_argument("-d", "--debug", action="store_true", help="log every refusal")
    parser.add_argument("-V", "--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _thread_count(text):
    try:
        count = int(text)
    except ValueError:
        count = 0
    if not 1 <= count <= 256:
        raise argparse.ArgumentTypeError("needs a number from 1 to 256")
    return count


def options_from(args, **fixed):
    """ServerOptions from parsed arguments; `fixed` overrides them (hello is always read-only)."""
    values = dict(session_file=args.session_file, listen=args.listen, volume_name=args.export_name,
                  readonly=args.readonly, xattrs=False if args.no_xattrs else None, symlinks=not args.no_symlinks,
                  allow_remote=args.allow_remote, allow_unencrypted_remote=args.allow_unencrypted_remote,
                  tls_certificate=args.tls_cert, tls_key=args.tls_key, threads=args.threads)
    values.update(fixed)
    return ServerOptions(**values)


async def serve(fs, options, ready=None):
    """Serves until SIGINT or SIGTERM; `ready` is called once the session file is written."""
    server = Server(fs, options)
    await server.start()
    stopping = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(number, stopping.set)
    try:
        if ready:
            ready(server)
        await stopping.wait()
        log.info("server stopping on a signal")
    finally:
        for number in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(number)
        await server.stop()


def run(fs, options, prog, debug=False):
    """Runs a server in the foreground, logging to standard error; prints the session file's
    path once clients can mount it. Returns the exit status."""
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG if debug else logging.INFO,
                        format="orvel: %(message)s")

    def announce(server):
        print(options.session_file, flush=True)

    try:
        asyncio.run(serve(fs, options, announce))
    except (EndpointError, CertificateError, OSError) as error:
        print(f"{prog}: {error}", file=sys.stderr)
        return 1
    return 0
