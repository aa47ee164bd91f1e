"""Where a server announces itself (its session file and its socket), an object that another user
put there is refused: that user could read the token written there or catch the clients."""

import errno
import os
import pwd


class AnotherOwnersObject(PermissionError):
    """Another user's object stands where this server would announce itself."""

    def __str__(self):
        return self.strerror


def refuse_another_owners_object(path):
    """Raises AnotherOwnersObject when `path` (not followed if it is a link) belongs to another
    user; nothing at `path` is no refusal."""
    try:
        uid = os.lstat(path).st_uid
    except FileNotFoundError:
        return
    if uid == os.geteuid():
        return
    try:
        owner = f"{pwd.getpwuid(uid).pw_name} (uid {uid})"
    except KeyError:
        owner = f"uid {uid}"
    raise AnotherOwnersObject(
        errno.EPERM, f"{path} already exists and belongs to {owner}, not to the user running this server; "
        "remove it, or choose a path in a directory of your own")
