"""A read-only file system with one file, /hello."""

import errno
import sys

import brindle_server as bs

TEXT = b"Hello from a Python brindle server!\n"


class Hello(bs.PathFileSystem):
    def getattr(self, path):
        if path == "/":
            return bs.Attributes(type=bs.DIRECTORY, mode=0o755, link_count=2)
        if path == "/hello":
            return bs.Attributes(type=bs.FILE, mode=0o444, size=len(TEXT))
        raise OSError(errno.ENOENT, "no such file")

    def readdir(self, path):
        return ["hello"]

    def read(self, path, offset, size, handle):
        return TEXT[offset:offset + size]


if __name__ == "__main__":
    args = bs.argument_parser("python3 -m brindle_server.examples.hello", __doc__).parse_args()
    sys.exit(bs.run(Hello(), bs.options_from(args, readonly=True), "hello", args.debug))
