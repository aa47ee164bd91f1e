"""The door: the session file, the handshake and what a stranger can do before it."""

import asyncio
import hashlib
import os
import pwd
import socket
import ssl
import stat
import subprocess
import tempfile
import unittest

import brindle_server as bs
from wire_client import Client, running


class Empty(bs.NodeFileSystem):
    pass


class SessionFileTest(unittest.IsolatedAsyncioTestCase):
    async def test_the_file_names_the_socket_holds_a_fresh_token_and_goes_with_the_server(self):
        tokens = set()
        for _ in range(2):
            async with running(Empty(), volume_name="demo") as (server, session):
                path = server.options.session_file
                self.assertEqual(stat.S_IMODE(os.stat(path).st_mode), 0o600)
                self.assertEqual(stat.S_IMODE(os.stat(session["socket_path"]).st_mode), 0o600)
                self.assertEqual(session["socket_path"], path + ".sock")
                self.assertEqual(session["server_user"], pwd.getpwuid(os.geteuid()).pw_name)
                self.assertEqual(session["volume_name"], "demo")
                self.assertIs(session["readonly"], False)
                self.assertGreaterEqual(len(session["auth_token"]), 32)
                tokens.add(session["auth_token"])
            self.assertFalse(os.path.exists(path))
            self.assertFalse(os.path.exists(session["socket_path"]))
        self.assertEqual(len(tokens), 2)

    async def test_a_live_server_is_never_replaced_and_a_dead_ones_socket_is(self):
        async with running(Empty()) as (server, session):
            second = bs.Server(Empty(), bs.ServerOptions(session_file=server.options.session_file))
            with self.assertRaisesRegex(Exception, "still answers"):
                await second.start()
            self.assertTrue(os.path.exists(server.options.session_file))
        with tempfile.TemporaryDirectory() as directory:
            session_file = os.path.join(directory, "s.json")
            leftover = socket.socket(socket.AF_UNIX)
            leftover.bind(session_file + ".sock")
            leftover.close()
            server = bs.Server(Empty(), bs.ServerOptions(session_file=session_file))
            await server.start()
            await server.stop()
            with open(session_file + ".sock", "w"):
                pass
            with self.assertRaisesRegex(Exception, "not a socket"):
                await bs.Server(Empty(), bs.ServerOptions(session_file=session_file)).start()

    @unittest.skipUnless(os.geteuid() == 0, "giving a file to another user needs root")
    async def test_another_users_object_at_the_session_file_or_socket_path_stops_the_start(self):
        with tempfile.TemporaryDirectory() as directory:
            session_file = os.path.join(directory, "s.json")
            with open(session_file, "w") as planted:
                planted.write("planted")
            os.chown(session_file, 65534, 65534)
            with self.assertRaisesRegex(PermissionError, f"^{session_file} already exists and belongs to"):
                await bs.Server(Empty(), bs.ServerOptions(session_file=session_file)).start()
            with open(session_file) as planted:
                self.assertEqual(planted.read(), "planted")
            os.unlink(session_file)

            leftover = socket.socket(socket.AF_UNIX)
            leftover.bind(session_file + ".sock")
            leftover.close()
            os.lchown(session_file + ".sock", 65534, 65534)
            with self.assertRaisesRegex(PermissionError, "s.json.sock already exists and belongs to"):
                await bs.Server(Empty(), bs.ServerOptions(session_file=session_file)).start()
            self.assertEqual(os.lstat(session_file + ".sock").st_uid, 65534)
            self.assertFalse(os.path.exists(session_file))

    async def test_tcp_listens_on_loopback_and_the_file_says_where(self):
        async with running(Empty(), listen="tcp://127.0.0.1:0") as (server, session):
            self.assertRegex(session["socket_path"], r"^tcp://127\.0\.0\.1:\d+$")
            host, port = session["socket_path"][len("tcp://"):].rsplit(":", 1)
            reader, writer = await asyncio.open_connection(host, int(port))
            client = Client(reader, writer)
            reply, _ = await client.handshake(session["auth_token"])
            self.assertTrue(reply["ok"])
            client.close()
        with self.assertRaisesRegex(Exception, "not loopback"):
            with tempfile.TemporaryDirectory() as directory:
                await bs.Server(Empty(), bs.ServerOptions(session_file=os.path.join(directory, "s"),
                                                          listen="tcp://0.0.0.0:0")).start()


class TlsTest(unittest.IsolatedAsyncioTestCase):
    async def test_a_given_certificate_is_pinned_shown_and_kept_across_restarts(self):
        with tempfile.TemporaryDirectory() as directory:
            certificate, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-days", "1", "-subj", "/CN=test", "-keyout", key, "-out", certificate],
                           check=True, capture_output=True)
            pins = set()
            for _ in range(2):
                async with running(Empty(), listen="tls://127.0.0.1:0", tls_certificate=certificate,
                                   tls_key=key) as (_, session):
                    self.assertRegex(session["socket_path"], r"^tls://127\.0\.0\.1:\d+$")
                    self.assertNotIn("server_user", session)
                    host, port = session["socket_path"][len("tls://"):].rsplit(":", 1)
                    client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                    client_context.check_hostname = False
                    client_context.verify_mode = ssl.CERT_NONE
                    reader, writer = await asyncio.open_connection(host, int(port), ssl=client_context)
                    shown = writer.get_extra_info("ssl_object")
                    self.assertEqual(shown.version(), "TLSv1.3")
                    self.assertEqual(session["tls_pin"],
                                     "sha256:" + hashlib.sha256(shown.getpeercert(binary_form=True)).hexdigest())
                    client = Client(reader, writer)
                    reply, _ = await client.handshake(session["auth_token"])
                    self.assertTrue(reply["ok"])
                    client.close()
                    # Frames in clear text are no TLS handshake: the server answers none.
                    plain = Client(*await asyncio.open_connection(host, int(port)))
                    plain.send({"method": "handshake", "request_id": 1, "auth_token": session["auth_token"]})
                    self.assertIsNone(await plain.receive())
                    plain.close()
                    pins.add(session["tls_pin"])
            self.assertEqual(len(pins), 1)

    async def test_what_cannot_be_served_safely_is_refused_with_what_to_do(self):
        with tempfile.TemporaryDirectory() as directory:
            session_file = os.path.join(directory, "s.json")
            refusals = [
                (dict(listen="tls://127.0.0.1:0", tls_certificate=session_file), "go together"),
                (dict(listen="tls://127.0.0.1:0", tls_certificate=os.path.join(directory, "none.pem"),
                      tls_key=os.path.join(directory, "none.key")), "cannot read the TLS certificate"),
                (dict(listen="tcp://0.0.0.0:0", allow_remote=True), "in clear text: listen on tls:// instead"),
            ]
            for options, message in refusals:
                with self.subTest(options=options), self.assertRaisesRegex(Exception, message):
                    await bs.Server(Empty(), bs.ServerOptions(session_file=session_file, **options)).start()
                self.assertFalse(os.path.exists(session_file))
            server = bs.Server(Empty(), bs.ServerOptions(session_file=session_file, listen="tcp://0.0.0.0:0",
                                                         allow_remote=True, allow_unencrypted_remote=True))
            await server.start()
            await server.stop()


class HandshakeTest(unittest.IsolatedAsyncioTestCase):
    async def test_the_token_holder_gets_the_session_id_and_the_extensions(self):
        async with running(Empty(), extensions=("example",)) as (_, session):
            client = await Client.connect(session["socket_path"])
            reply, _ = await client.handshake(session["auth_token"])
            self.assertEqual(reply, {"ok": True, "session_id": session["session_id"], "extensions": ["example"],
                                     "request_id": 1})
            reply, _ = await client.call("ping")
            self.assertEqual(reply, {"ok": True, "request_id": 2})
            reply, _ = await client.handshake(session["auth_token"])
            self.assertEqual((reply["ok"], reply["errno"]), (False, 22))
            client.close()

    async def test_strangers_are_refused_and_cut_off(self):
        async with running(Empty(), handshake_deadline=0.3) as (_, session):
            wrong = await Client.connect(session["socket_path"])
            reply, _ = await wrong.handshake("0" * 64)
            self.assertEqual((reply["ok"], reply["errno"], reply["error"]), (False, 1, "authentication failed"))
            self.assertTrue(await wrong.closed())

            impatient = await Client.connect(session["socket_path"])
            reply, _ = await impatient.call("ping")
            self.assertEqual((reply["ok"], reply["errno"]), (False, 1))
            self.assertTrue(await impatient.closed())

            silent = await Client.connect(session["socket_path"])
            self.assertTrue(await silent.closed(timeout=5))

            boastful = await Client.connect(session["socket_path"])
            boastful.send_raw(bytes.fromhex("0000ffff00000000"))
            self.assertTrue(await boastful.closed())

            # None of them kept the token holder out.
            client = await Client.connect(session["socket_path"])
            reply, _ = await client.handshake(session["auth_token"])
            self.assertTrue(reply["ok"])
            for peer in (wrong, impatient, silent, boastful, client):
                peer.close()

    async def test_a_crowd_of_idle_strangers_costs_the_oldest_its_place(self):
        async with running(Empty(), max_unauthenticated=3) as (_, session):
            crowd = [await Client.connect(session["socket_path"]) for _ in range(4)]
            self.assertTrue(await crowd[0].closed(timeout=5))
            client = await Client.connect(session["socket_path"])
            reply, _ = await client.handshake(session["auth_token"])
            self.assertTrue(reply["ok"])
            self.assertTrue(await crowd[1].closed(timeout=5))
            for peer in crowd + [client]:
                peer.close()

    async def test_clients_past_the_limit_are_told_to_come_back(self):
        async with running(Empty(), max_clients=1) as (_, session):
            first = await Client.connect(session["socket_path"])
            self.assertTrue((await first.handshake(session["auth_token"]))[0]["ok"])
            second = await Client.connect(session["socket_path"])
            reply, _ = await second.handshake(session["auth_token"])
            self.assertEqual((reply["ok"], reply["errno"]), (False, 35))
            first.close()
            second.close()


if __name__ == "__main__":
    unittest.main()
