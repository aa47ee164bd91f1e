"""Listings: paged by the SDK with cookies that grow, each entry once, current when served."""

import errno
import unittest

import brindle_server as bs
from wire_client import connected

FILE = bs.Attributes(type=bs.FILE, mode=0o644)


class Directory(bs.NodeFileSystem):
    """The root holds `names`; every other node is a file. The listing comes as the kind the
    test picks: a list of Items, a generator of names, or an async generator."""

    def __init__(self, names, kind="items"):
        self.names = list(names)
        self.kind = kind
        self.listed = 0
        self.sizes = {}

    def get_attributes(self, node_id):
        return bs.Item(node_id, bs.Attributes(type=bs.DIRECTORY, mode=0o755) if node_id == 1 else FILE)

    def node_of(self, name):
        return 100 + self.names.index(name)

    def lookup(self, parent_id, name):
        if name not in self.names:
            raise OSError(errno.ENOENT, "gone")
        return bs.Item(self.node_of(name), bs.Attributes(type=bs.FILE, mode=0o644, size=self.sizes.get(name, 0)))

    def enumerate_directory(self, node_id):
        self.listed += 1
        if self.kind == "names":
            return (name for name in self.names)
        if self.kind == "async":
            return self.async_names()
        return [bs.Item(self.node_of(name), FILE, name=name) for name in self.names]

    async def async_names(self):
        for name in self.names:
            yield name


async def list_all(client, handle, max_entries=128):
    """Every entry, batch by batch as the module asks, and the cookies it was given."""
    names, cookies, cookie = [], [], 0
    while True:
        reply, _ = await client.call("enumerate_directory", parent_id=1, handle_id=handle, cookie=cookie,
                                     verifier=1, max_entries=max_entries)
        assert reply["ok"], reply
        batch = reply["dir_items"]
        names += [entry["name"] for entry in batch]
        cookies += [entry["next_cookie"] for entry in batch]
        if len(batch) < max_entries:
            return names, cookies
        cookie = batch[-1]["next_cookie"]


class ListingTest(unittest.IsolatedAsyncioTestCase):
    async def test_300_entries_come_in_batches_with_growing_cookies_whatever_the_handler_returns(self):
        names = [f"n{i:03}" for i in range(300)]
        for kind in ("items", "names", "async"):
            fs = Directory(names, kind)
            async with connected(fs) as client:
                handle = (await client.call("open_directory", node_id=1))[0]["handle_id"]
                listed, cookies = await list_all(client, handle)
                self.assertEqual(listed, names, kind)
                self.assertEqual(cookies, sorted(set(cookies)), kind)
                self.assertEqual(fs.listed, 1, "one listing serves every batch")
                # Without a handle every call lists afresh, and the cookie is a position.
                reply, _ = await client.call("enumerate_directory", parent_id=1, cookie=298, max_entries=10)
                self.assertEqual([e["name"] for e in reply["dir_items"]], ["n298", "n299"])
                self.assertEqual(reply["dir_items"][-1]["next_cookie"], 300)

    async def test_a_directory_changed_while_listed_lists_each_survivor_once_and_current(self):
        fs = Directory([f"n{i:03}" for i in range(200)])
        async with connected(fs) as client:
            handle = (await client.call("open_directory", node_id=1))[0]["handle_id"]
            reply, _ = await client.call("enumerate_directory", parent_id=1, handle_id=handle, max_entries=100)
            first = [e["name"] for e in reply["dir_items"]]
            cookie = reply["dir_items"][-1]["next_cookie"]
            # rm -rf removes what it was given, then asks on.
            for name in first + ["n150"]:
                fs.names.remove(name)
            fs.names.append("late")
            fs.sizes["n199"] = 4096
            rest = []
            while True:
                reply, _ = await client.call("enumerate_directory", parent_id=1, handle_id=handle, cookie=cookie,
                                             max_entries=100)
                batch = reply["dir_items"]
                rest += batch
                if len(batch) < 100:
                    break
                cookie = batch[-1]["next_cookie"]
            names = [e["name"] for e in rest]
            self.assertEqual(names, [f"n{i:03}" for i in range(100, 200) if i != 150])
            self.assertEqual(rest[-1]["size"], 4096)
            # The next listing from the start sees the directory as it is now.
            listed, _ = await list_all(client, handle)
            self.assertEqual(sorted(listed), sorted(fs.names))

    async def test_handles_belong_to_their_directory_and_close_once(self):
        fs = Directory(["a"])
        async with connected(fs) as client:
            handle = (await client.call("open_directory", node_id=1))[0]["handle_id"]
            reply, _ = await client.call("open_directory", node_id=100)
            self.assertEqual((reply["ok"], reply["errno"]), (False, 20))
            reply, _ = await client.call("enumerate_directory", parent_id=100, handle_id=handle)
            self.assertEqual(reply["errno"], 9)
            reply, _ = await client.call("close_directory", node_id=1, handle_id=handle)
            self.assertEqual(reply, {"ok": True, "handle_id": 0, "request_id": client.next_id})
            reply, _ = await client.call("close_directory", node_id=1, handle_id=handle)
            self.assertEqual(reply["errno"], 9)


if __name__ == "__main__":
    unittest.main()
