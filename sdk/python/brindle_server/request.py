"""One decoded request, and the checks its arguments pass before a handler sees them."""

from .errors import einval
from .records import I64, U64


class Request:
    def __init__(self, obj, payload, method):
        self.obj = obj
        self.payload = payload
        self.method = method

    def _missing(self, key):
        return einval(f"{self.method}: missing or invalid \"{key}\"")

    def has(self, key):
        return key in self.obj

    def integer(self, key, low, high, default=None):
        value = self.obj.get(key, default)
        # JSON true and false are no numbers, though Python counts them as ints.
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise self._missing(key)
        return value

    def u64(self, key, default=None):
        return self.integer(key, 0, U64, default)

    def i64(self, key, default=None):
        return self.integer(key, I64[0], I64[1], default)

    def node(self, key="node_id"):
        return self.integer(key, 1, U64)

    def string(self, key, default=None):
        value = self.obj.get(key, default)
        if not isinstance(value, str):
            raise self._missing(key)
        try:
            # A JSON escape can smuggle in a lone surrogate, which is no UTF-8.
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise einval(f"{self.method}: \"{key}\" is not UTF-8") from None
        return value

    def entry_name(self, key="name"):
        """A name that is one entry of a directory."""
        name = self.string(key)
        if not valid_name(name):
            raise einval(f"{self.method}: invalid name {name!r}: a name is one entry, not empty, \".\" or \"..\", "
                         "without \"/\" or NUL")
        return name


def valid_name(name):
    return name not in ("", ".", "..") and "/" not in name and "\0" not in name
