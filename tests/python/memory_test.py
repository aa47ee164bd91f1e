"""memory.py over the wire with two clients: what one holds open outlives the other's unlink and
goes when its holder's connection ends; and its capacity bounds what clients can make it hold,
holes not counted."""

import asyncio
import unittest

from brindle_server.examples.memory import Memory
from wire_client import Client, running


async def client_of(session):
    client = await Client.connect(session["socket_path"])
    reply, _ = await client.handshake(session["auth_token"])
    assert reply["ok"]
    return client


class MemoryTest(unittest.IsolatedAsyncioTestCase):
    async def test_a_file_open_on_one_connection_outlives_the_others_unlink_until_that_connection_ends(self):
        fs = Memory(capacity=1 << 20, uid=0, gid=0)
        async with running(fs) as (_, session):
            holder, remover = await client_of(session), await client_of(session)
            reply, _ = await holder.call("create_file", parent_id=1, name="f", mode=0o644)
            node = reply["item_attrs"]["node_id"]
            await holder.call("write", b"kept", node_id=node, offset=0, length=4)
            self.assertTrue((await holder.call("open", node_id=node, open_modes=1))[0]["ok"])
            self.assertTrue((await remover.call("remove_file", parent_id=1, name="f"))[0]["ok"])
            reply, data = await holder.call("read", node_id=node, offset=0, length=10)
            self.assertEqual(data, b"kept")
            reply, _ = await remover.call("get_attributes", node_id=node)
            self.assertEqual(reply["item_attrs"]["link_count"], 0)
            holder.close()  # without a close: the server lets go when the connection ends
            for _ in range(100):
                if node not in fs.nodes:
                    break
                await asyncio.sleep(0.02)
            reply, _ = await remover.call("get_attributes", node_id=node)
            self.assertEqual((reply["ok"], reply["errno"]), (False, 2))
            self.assertEqual(fs.used, 0)
            remover.close()

    async def test_capacity_bounds_data_and_a_grown_size_costs_nothing(self):
        fs = Memory(capacity=1 << 20, uid=0, gid=0)
        async with running(fs) as (_, session):
            client = await client_of(session)
            node = (await client.call("create_file", parent_id=1, name="f", mode=0o644))[0]["item_attrs"]["node_id"]
            reply, _ = await client.call("set_attributes", node_id=node, set_size=2**62)
            self.assertEqual(reply["item_attrs"]["size"], 2**62)
            reply, data = await client.call("read", node_id=node, offset=2**61, length=8)
            self.assertEqual(data, bytes(8))
            # A write far out costs what it wrote, not the hole before it.
            reply, _ = await client.call("write", b"far", node_id=node, offset=2**40 - 1, length=3)
            self.assertEqual(reply["write_size"], 3)
            reply, data = await client.call("read", node_id=node, offset=2**40 - 2, length=6)
            self.assertEqual(data, b"\0far\0\0")
            reply, _ = await client.call("statfs")
            self.assertEqual((reply["blocks"], reply["free_blocks"]), (256, 256 - 32))
            reply, _ = await client.call("write", b"y" * (1 << 20), node_id=node, offset=0, length=1 << 20)
            self.assertEqual((reply["ok"], reply["errno"]), (False, 28))
            # Shrinking gives the memory back, and what grows again reads as zeros.
            await client.call("write", b"z" * 100, node_id=node, offset=0, length=100)
            await client.call("set_attributes", node_id=node, set_size=10)
            await client.call("set_attributes", node_id=node, set_size=100)
            reply, data = await client.call("read", node_id=node, offset=0, length=200)
            self.assertEqual(data, b"z" * 10 + bytes(90))
            reply, _ = await client.call("statfs")
            self.assertEqual(reply["free_blocks"], 256 - 16)
            client.close()


if __name__ == "__main__":
    unittest.main()
