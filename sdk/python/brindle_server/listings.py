"""The directory handles of one connection and the listings taken through them. A listing from
cookie 0 takes the directory's entries once; later calls page through that list, so that each
entry comes once and the cookies grow whatever order the file system lists in. A cookie is the
listing's generation (upper 32 bits) and the position of the next entry."""

import collections

POSITION_BITS = 32
POSITION_MASK = (1 << POSITION_BITS) - 1


def cookie_for(generation, position):
    return (generation << POSITION_BITS) | position


class DirectoryHandles:
    def __init__(self, max_handles=4096, listings_per_handle=4, kept_entries=1_000_000):
        self.max_handles = max_handles
        self.listings_per_handle = listings_per_handle
        self.kept_entries = kept_entries
        self._handles = {}  # handle -> [node id, next generation]
        self._next = 1
        self._kept = collections.OrderedDict()  # (handle, generation) -> entries, oldest first
        self._kept_count = 0

    def open(self, node_id):
        """A new handle of the directory, or None when the connection holds too many."""
        if len(self._handles) >= self.max_handles:
            return None
        handle = self._next
        self._next += 1
        self._handles[handle] = [node_id, 1]
        return handle

    def node_of(self, handle):
        entry = self._handles.get(handle)
        return entry[0] if entry else None

    def close(self, handle, node_id):
        if self.node_of(handle) != node_id:
            return False
        del self._handles[handle]
        for key in [key for key in self._kept if key[0] == handle]:
            self._release(key)
        return True

    def begin(self, handle, entries):
        """Keeps a listing taken now through `handle`; returns its generation (never 0)."""
        state = self._handles[handle]
        generation = state[1]
        state[1] = generation % POSITION_MASK + 1
        mine = [key for key in self._kept if key[0] == handle]
        for key in mine[:max(0, len(mine) + 1 - self.listings_per_handle)]:
            self._release(key)
        self._kept[(handle, generation)] = entries
        self._kept_count += len(entries)
        # The newest listing stays even alone over the budget: it is being served.
        while self._kept_count > self.kept_entries and len(self._kept) > 1:
            self._release(next(iter(self._kept)))
        return generation

    def listing(self, handle, generation):
        """The entries of a listing still kept, or None."""
        return self._kept.get((handle, generation))

    def _release(self, key):
        self._kept_count -= len(self._kept.pop(key))
