"""What clients and handlers get wrong: each is answered on the wire with an error that names the
method and the problem, and the connection and the server go on."""

import asyncio
import errno
import logging
import threading
import unittest

import brindle_server as bs
from wire_client import Client, connected, running

FILE = bs.Attributes(type=bs.FILE, mode=0o644, size=3)
BAD_PARENT = "lookup: missing or invalid \"parent_id\""


class Faulty(bs.NodeFileSystem):
    """Each name looked up in the root picks a fault."""

    def get_root_attributes(self):
        return bs.Item(1, bs.Attributes(type=bs.DIRECTORY, mode=0o755))

    def lookup(self, parent_id, name):
        answers = {
            "fine": lambda: bs.Item(7, FILE),
            "text": lambda: "not an item",
            "stat-like": lambda: bs.Item(7, {"size": 3}),
            "huge-mode": lambda: bs.Item(7, bs.Attributes(type=bs.FILE, mode=2**40)),
            "odd-type": lambda: bs.Item(7, bs.Attributes(type="Directory", mode=0o755)),
            "zero-id": lambda: bs.Item(0, FILE),
            "crash": lambda: 1 / 0,
            "gone": lambda: (_ for _ in ()).throw(OSError(errno.ENOENT)),
            "full": lambda: (_ for _ in ()).throw(OSError(errno.ENOTEMPTY, "Directory not empty")),
            "no-attribute": lambda: (_ for _ in ()).throw(OSError(errno.ENODATA, "No data available")),
            "busy": lambda: (_ for _ in ()).throw(BlockingIOError()),
            "chosen": lambda: (_ for _ in ()).throw(bs.WireError(93, "no such attribute")),
        }
        return answers[name]()

    async def get_attributes(self, node_id):
        return bs.Item(node_id + 1, FILE)  # answers for the wrong node

    def readlink(self, node_id):
        return "caf\udce9"  # what os.fsdecode makes of b"caf\xe9"

    def enumerate_directory(self, node_id):
        yield bs.Item(5, FILE, name="caf\udce9")
        yield bs.Item(6, FILE, name="a/b")
        yield "."
        yield bs.Item(7, FILE, name="kept")

    def read(self, node_id, offset, length):
        return "text, not bytes" if node_id == 7 else b"x" * (length + 1)

    def write(self, node_id, offset, data):
        return True

    def statfs(self):
        return {"blocks": 1}

    def list_xattrs(self, node_id):
        return ["ok", "caf\udce9", 5]


class HandlerFaultTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        logging.disable(logging.CRITICAL)
        self.addCleanup(logging.disable, logging.NOTSET)

    async def test_wrong_results_are_answered_eio_naming_method_and_problem(self):
        async with connected(Faulty(), xattrs=True) as client:
            expected = {
                ("lookup", "text"): "lookup: the handler returned str, not an Item",
                ("lookup", "stat-like"): "lookup: the handler returned dict where attributes belong",
                ("lookup", "huge-mode"): "lookup: the handler's mode is 1099511627776",
                ("lookup", "odd-type"): "lookup: the handler's type 'Directory' is none of",
                ("lookup", "zero-id"): "lookup: the handler's node id is 0",
                ("lookup", "crash"): "lookup: the server failed (ZeroDivisionError)",
            }
            for (method, name), message in expected.items():
                reply, _ = await client.call(method, parent_id=1, name=name)
                self.assertEqual((reply["ok"], reply["errno"]), (False, 5), name)
                self.assertTrue(reply["error"].startswith(message), reply["error"])
            checks = [
                (("get_attributes", {"node_id": 7}),
                 "get_attributes: the handler answered for node 8 when asked about node 7"),
                (("readlink", {"node_id": 7}),
                 "readlink: the handler's link target 'caf\\udce9' is not UTF-8"),
                (("read", {"node_id": 7, "offset": 0, "length": 10}), "read: the handler returned str, not bytes"),
                (("read", {"node_id": 8, "offset": 0, "length": 10}),
                 "read: the handler returned 11 bytes when asked for 10"),
                (("statfs", {}), "statfs: the handler returned dict, not StatFS"),
                (("list_xattrs", {"node_id": 7}),
                 "list_xattrs: the handler's extended attribute name is int"),
            ]
            for (method, keys), message in checks:
                reply, _ = await client.call(method, **keys)
                self.assertEqual((reply["ok"], reply["errno"], reply["error"][:len(message)]), (False, 5, message))
            reply, _ = await client.call("write", b"abc", node_id=7, offset=0, length=3)
            self.assertEqual(reply["error"], "write: the handler returned True, not a byte count from 0 to 3")
            # The same connection still works.
            reply, _ = await client.call("lookup", parent_id=1, name="fine")
            self.assertTrue(reply["ok"])
            self.assertEqual(reply["lookup_item"]["node_id"], 7)

    async def test_raised_errors_go_out_in_darwin_numbers(self):
        async with connected(Faulty()) as client:
            for name, darwin, text in [("gone", 2, "No such file or directory"), ("full", 66, "Directory not empty"),
                                       ("no-attribute", 93, "No data available"),
                                       ("busy", 35, "Resource temporarily unavailable"),
                                       ("chosen", 93, "no such attribute")]:
                reply, _ = await client.call("lookup", parent_id=1, name=name)
                self.assertEqual((reply["ok"], reply["errno"], reply["error"]), (False, darwin, text), name)

    async def test_a_listing_leaves_out_names_no_client_could_be_sent(self):
        async with connected(Faulty()) as client:
            handle = (await client.call("open_directory", node_id=1))[0]
            self.assertFalse(handle["ok"])  # the root's get_attributes answers for another node
            reply, _ = await client.call("enumerate_directory", parent_id=1)
            self.assertEqual([entry["name"] for entry in reply["dir_items"]], ["kept"])
            reply, _ = await client.call("list_xattrs", node_id=9)
            self.assertFalse(reply["ok"])

    async def test_a_raising_handler_is_logged_with_its_traceback(self):
        logging.disable(logging.NOTSET)
        async with connected(Faulty()) as client:
            with self.assertLogs("brindle_server", logging.ERROR) as logs:
                await client.call("lookup", parent_id=1, name="crash")
            self.assertIn("ZeroDivisionError", "\n".join(logs.output))


class Tree(bs.PathFileSystem):
    def getattr(self, path):
        if path in ("/", "/dir"):
            return bs.Attributes(type=bs.DIRECTORY, mode=0o755)
        if path == "/dir/file":
            return FILE
        raise FileNotFoundError()

    def readdir(self, path):
        return ["dir"] if path == "/" else ["file"]


class ClientFaultTest(unittest.IsolatedAsyncioTestCase):
    async def test_arguments_are_checked_before_any_handler_runs(self):
        async with connected(Tree()) as client:
            cases = [
                ({"method": "lookup", "parent_id": 1, "name": "a/b"}, 22, "lookup: invalid name 'a/b'"),
                ({"method": "lookup", "parent_id": 1, "name": ".."}, 22, "lookup: invalid name '..'"),
                ({"method": "lookup", "parent_id": 1, "name": ""}, 22, "lookup: invalid name ''"),
                ({"method": "lookup", "parent_id": 1, "name": "\ud800"}, 22, "lookup: \"name\" is not UTF-8"),
                ({"method": "lookup", "parent_id": True, "name": "dir"}, 22, BAD_PARENT),
                ({"method": "lookup", "parent_id": 1.5, "name": "dir"}, 22, BAD_PARENT),
                ({"method": "lookup", "parent_id": 2**64, "name": "dir"}, 22, BAD_PARENT),
                ({"method": "lookup", "parent_id": 99, "name": "dir"}, 22,
                 "lookup: node 99 was never issued by this server"),
                ({"method": "read", "node_id": 1, "offset": 2**63, "length": 1}, 22, "read: offset 9223372036854775808"),
                ({"method": "set_attributes", "node_id": 1, "set_modify_time_sec": 1}, 22,
                 "set_attributes: missing or invalid \"set_modify_time_nsec\""),
                ({"method": "set_attributes", "node_id": 1, "set_modify_time_sec": 1, "set_modify_time_nsec": 10**9},
                 22, "set_attributes: \"set_modify_time_nsec\" is 1000000000"),
                ({"method": "create_symlink", "parent_id": 1, "name": "l", "link_target": ""}, 22,
                 "create_symlink: a link target is not empty"),
                ({"method": "enumerate_directory", "parent_id": 1, "handle_id": 5}, 9,
                 "enumerate_directory: unknown directory handle 5"),
                ({"method": "close_directory", "node_id": 1, "handle_id": 5}, 9,
                 "close_directory: unknown directory handle 5"),
                ({"method": "no_such_method"}, 45, "unknown method 'no_such_method'"),
                ({"parent_id": 1}, 22, "a request without \"method\""),
            ]
            for request, darwin, message in cases:
                client.next_id += 1
                client.send({"request_id": client.next_id, **request})
                reply, _ = await client.receive()
                self.assertEqual((reply["ok"], reply["errno"]), (False, darwin), request)
                self.assertTrue(reply["error"].startswith(message), reply["error"])
                self.assertEqual(reply["request_id"], client.next_id)
            # A removed node is told apart from one never issued.
            reply, _ = await client.call("lookup", parent_id=1, name="dir")
            self.assertTrue(reply["ok"])
            reply, _ = await client.call("get_attributes", node_id=reply["lookup_item"]["node_id"])
            self.assertEqual(reply["item_attrs"]["name"], "dir")

    async def test_a_frame_that_cannot_be_read_closes_only_its_connection(self):
        garbage = [b"{not json", b"[1, 2]", b"NaN", b'{"method": "ping", "x": NaN}', b"[" * 100000,
                   "{\"method\": \"caf\u00e9\"}".encode("latin-1")]
        async with running(Tree()) as (_, session):
            bystander = await Client.connect(session["socket_path"])
            await bystander.handshake(session["auth_token"])
            for text in garbage:
                client = await Client.connect(session["socket_path"])
                await client.handshake(session["auth_token"])
                client.send_raw(len(text).to_bytes(4, "big") + bytes(4) + text)
                self.assertTrue(await client.closed(), text[:20])
                client.close()
            oversized = await Client.connect(session["socket_path"])
            await oversized.handshake(session["auth_token"])
            oversized.send_raw((16 * 1024 * 1024).to_bytes(4, "big") + (1).to_bytes(4, "big"))
            self.assertTrue(await oversized.closed())
            oversized.close()
            reply, _ = await bystander.call("ping")
            self.assertTrue(reply["ok"])
            # A reply carries whatever request_id its request had, and none when it had none.
            bystander.send({"method": "ping", "request_id": "seven"})
            self.assertEqual((await bystander.receive())[0], {"ok": True, "request_id": "seven"})
            bystander.send({"method": "ping"})
            self.assertEqual((await bystander.receive())[0], {"ok": True})
            bystander.close()


class Slow(bs.NodeFileSystem):
    """A plain handler that blocks until told, and an async one that answers at once."""

    def __init__(self):
        self.release = threading.Event()
        self.threads = []

    def get_attributes(self, node_id):
        self.threads.append(threading.current_thread())
        self.release.wait(10)
        return bs.Item(node_id, FILE)

    async def lookup(self, parent_id, name):
        self.threads.append(threading.current_thread())
        return bs.Item(2, FILE)


class HandlerKindsTest(unittest.IsolatedAsyncioTestCase):
    async def test_a_blocking_plain_handler_holds_up_no_other_request(self):
        fs = Slow()
        async with running(fs) as (_, session):
            first = await Client.connect(session["socket_path"])
            second = await Client.connect(session["socket_path"])
            for client in (first, second):
                await client.handshake(session["auth_token"])
            first.send({"method": "get_attributes", "node_id": 3, "request_id": 10})
            await asyncio.sleep(0.1)
            reply, _ = await second.call("lookup", parent_id=1, name="x")
            self.assertTrue(reply["ok"])
            # Another request on the blocked connection itself is answered meanwhile, too.
            reply, _ = await first.call("ping")
            self.assertTrue(reply["ok"])
            fs.release.set()
            reply, _ = await first.receive()
            self.assertEqual((reply["request_id"], reply["item_attrs"]["node_id"]), (10, 3))
            self.assertIsNot(fs.threads[0], threading.main_thread())
            self.assertIs(fs.threads[1], threading.main_thread())
            first.close()
            second.close()


if __name__ == "__main__":
    unittest.main()
