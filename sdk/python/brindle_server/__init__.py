"""Write brindle file-system servers in Python.

Two layers: PathFileSystem, whose handlers take paths and which keeps the path <-> node table
for you, and NodeFileSystem, which mirrors the wire and names objects by node ids you hand out.
run() (or serve() inside your own event loop) listens, writes the session file and answers
clients until SIGINT or SIGTERM."""

__version__ = "0.1.0"

from .calls import Call, current_call
from .cli import argument_parser, options_from, run, serve
from .errors import WireError, darwin_errno
from .nodes import NodeFileSystem
from .paths import PathFileSystem
from .records import (BLOCK_DEVICE, CHAR_DEVICE, DIRECTORY, FIFO, FILE, SOCKET, SYMLINK, Attributes, Changes, Item,
                      StatFS)
from .server import Server, ServerOptions

__all__ = [
    "Attributes", "BLOCK_DEVICE", "CHAR_DEVICE", "Call", "Changes", "DIRECTORY", "FIFO", "FILE", "Item",
    "NodeFileSystem", "PathFileSystem", "SOCKET", "SYMLINK", "Server", "ServerOptions", "StatFS", "WireError",
    "argument_parser", "current_call", "darwin_errno", "options_from", "run", "serve",
]
