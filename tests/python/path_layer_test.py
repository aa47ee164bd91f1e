"""The path layer's node table, through passthrough.py on a scratch directory: ids that follow
renames, files that stay open after their name goes, and no way out of the export."""

import os
import unittest.mock
import tempfile
import unittest

import brindle_server as bs
from brindle_server.examples.passthrough import Passthrough
from wire_client import connected


class PassthroughTest(unittest.IsolatedAsyncioTestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory(prefix="brindle-export-")
        self.addCleanup(scratch.cleanup)
        self.export = scratch.name
        os.makedirs(os.path.join(self.export, "a/b"))
        with open(os.path.join(self.export, "a/b/file"), "wb") as file:
            file.write(b"contents")
        os.symlink("/", os.path.join(self.export, "outside"))

    async def lookup(self, client, parent_id, name):
        reply, _ = await client.call("lookup", parent_id=parent_id, name=name)
        return reply.get("lookup_item", {}).get("node_id"), reply

    async def test_a_renamed_directory_takes_its_subtree_ids_along(self):
        async with connected(Passthrough(self.export)) as client:
            a, _ = await self.lookup(client, 1, "a")
            b, _ = await self.lookup(client, a, "b")
            file, _ = await self.lookup(client, b, "file")
            reply, _ = await client.call("rename", parent_id=1, name="a", new_parent_id=1, new_name="moved")
            self.assertTrue(reply["ok"], reply)
            self.assertEqual(await self.lookup(client, 1, "moved"), (a, unittest.mock.ANY))
            reply, data = await client.call("read", node_id=file, offset=2, length=100)
            self.assertEqual(data, b"ntents")
            gone, reply = await self.lookup(client, 1, "a")
            self.assertEqual((gone, reply["errno"]), (None, 2))
            # A new object at an old path is a new node; the old id is never given again.
            os.mkdir(os.path.join(self.export, "a"))
            again, _ = await self.lookup(client, 1, "a")
            self.assertNotIn(again, (a, b, file))

    async def test_an_open_file_outlives_its_name(self):
        async with connected(Passthrough(self.export)) as client:
            a, _ = await self.lookup(client, 1, "a")
            b, _ = await self.lookup(client, a, "b")
            file, _ = await self.lookup(client, b, "file")
            self.assertTrue((await client.call("open", node_id=file, open_modes=3))[0]["ok"])
            self.assertTrue((await client.call("remove_file", parent_id=b, name="file"))[0]["ok"])
            reply, _ = await client.call("write", b"CON", node_id=file, offset=0, length=3)
            self.assertEqual(reply["write_size"], 3)
            reply, data = await client.call("read", node_id=file, offset=0, length=100)
            self.assertEqual(data, b"CONtents")
            reply, _ = await client.call("get_attributes", node_id=file)
            self.assertEqual(reply["item_attrs"]["link_count"], 0)
            await client.call("close", node_id=file, keeping_modes=0)
            reply, _ = await client.call("get_attributes", node_id=file)
            self.assertEqual(reply["errno"], 2)

    async def test_no_name_or_link_leads_outside(self):
        async with connected(Passthrough(self.export)) as client:
            outside, reply = await self.lookup(client, 1, "outside")
            self.assertEqual(reply["lookup_item"]["type"], "symlink")
            for name in ("etc", "proc"):
                _, reply = await self.lookup(client, outside, name)
                self.assertEqual((reply["ok"], reply["errno"]), (False, 20), name)
            reply, _ = await client.call("list_xattrs", node_id=outside)
            self.assertEqual(reply["xattr_names"], [])
            reply, _ = await client.call("create_file", parent_id=outside, name="planted", mode=0o644)
            self.assertEqual(reply["errno"], 20)
            self.assertFalse(os.path.exists("/planted"))

    async def test_the_directorys_own_errors_reach_the_client_in_darwin_numbers(self):
        async with connected(Passthrough(self.export), xattrs=True) as client:
            a, _ = await self.lookup(client, 1, "a")
            cases = [
                (("remove_directory", {"parent_id": 1, "name": "a"}), 66),  # ENOTEMPTY, 39 on Linux
                (("create_directory", {"parent_id": 1, "name": "a", "mode": 0o755}), 17),
                (("remove_file", {"parent_id": 1, "name": "a"}), 21),
                (("get_xattr", {"node_id": a, "xattr_name": "missing"}), 93),  # ENODATA, 61 on Linux
                (("readlink", {"node_id": a}), 22),
            ]
            for (method, keys), darwin in cases:
                reply, _ = await client.call(method, **keys)
                self.assertEqual((reply["ok"], reply["errno"]), (False, darwin), method)


class ReadOnlyTest(unittest.IsolatedAsyncioTestCase):
    async def test_options_refuse_before_the_handler_is_asked(self):
        with tempfile.TemporaryDirectory() as export:
            async with connected(Passthrough(export), readonly=True, xattrs=False) as client:
                for method, keys, darwin in [("create_file", {"parent_id": 1, "name": "f", "mode": 0o644}, 30),
                                             ("open", {"node_id": 1, "open_modes": 2}, 30),
                                             ("list_xattrs", {"node_id": 1}, 45)]:
                    reply, _ = await client.call(method, **keys)
                    self.assertEqual((reply["ok"], reply["errno"]), (False, darwin), method)
                self.assertEqual(os.listdir(export), [])
            async with connected(Passthrough(export), symlinks=False) as client:
                reply, _ = await client.call("create_symlink", parent_id=1, name="l", link_target="x")
                self.assertEqual(reply["errno"], 45)
            self.assertTrue(bs.Server(Passthrough(export), bs.ServerOptions(session_file="unused")).capabilities.xattrs)


if __name__ == "__main__":
    unittest.main()
