"""The session file: where the server listens and the token a client proves itself with."""

import dataclasses
import json
import os
import secrets
import uuid


@dataclasses.dataclass(frozen=True)
class SessionSecrets:
    session_id: str
    auth_token: str

    @classmethod
    def fresh(cls):
        # 256 random bits: the token is all that stands between the socket and the files.
        return cls(session_id=str(uuid.uuid4()).upper(), auth_token=secrets.token_hex(32))


def write_session_file(path, secrets_, endpoint, volume_name, namedattr, readonly, tls_pin=None,
                       server_user=None):
    """Writes the file with mode 0600 and moves it into place whole, so that no reader sees half
    of it and the token is never readable by others. A link at the temporary name is not
    followed. `tls_pin` and `server_user` tell clients whom to send the token to."""
    fields = {
        "session_id": secrets_.session_id, "socket_path": endpoint, "auth_token": secrets_.auth_token,
        "volume_name": volume_name, "namedattr": namedattr, "readonly": readonly,
    }
    if tls_pin is not None:
        fields["tls_pin"] = tls_pin
    if server_user is not None:
        fields["server_user"] = server_user
    text = json.dumps(fields, separators=(",", ":"), ensure_ascii=False) + "\n"
    temporary = path + ".tmp"
    try:
        os.unlink(temporary)
    except FileNotFoundError:
        pass
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        try:
            os.fchmod(fd, 0o600)
            data = text.encode("utf-8")
            while data:
                data = data[os.write(fd, data):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.rename(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def read_session_file(path):
    """The session file's object, or None when there is no readable one at `path`."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        # A session file is a few hundred bytes; anything much larger is not one.
        text = os.read(fd, 64 * 1024)
    except OSError:
        return None
    finally:
        os.close(fd)
    try:
        value = json.loads(text)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    return value if isinstance(value, dict) else None


def remove_session_file(path, session_id):
    """Removes the file if it is still this session's, never another server's."""
    current = read_session_file(path)
    if current is not None and current.get("session_id") == session_id:
        os.unlink(path)
