#!/usr/bin/python3
"""The bundled demo server (scripts/demo-server) and its demo tree.

Each test starts the real server on a free port of 127.0.0.1 and talks to it
with ftplib the way the setup program does: log in, binary type, passive
mode, CWD to the edition's "//Program_..." folder, NLST, RETR.

    demo_server_test.py <source folder>
"""

import ftplib
import io
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.path.realpath(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
SERVER = os.path.join(SOURCE, "scripts", "demo-server")
TREE = os.path.join(SOURCE, "scripts", "demo")
USER, PASSWORD = "tkvdem", "tkv1demo"
EDITIONS = ("Program_TKV", "Program_TKV1")


def wait_until(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A child that ended but was not reaped yet counts as ended.
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().split(") ")[-1][0] != "Z"
    except FileNotFoundError:
        return False


class DemoServer:
    """One server process on a free port; stopped with the test."""

    def __init__(self, test, root=TREE, extra=()):
        self.work = tempfile.mkdtemp()
        test.addCleanup(lambda: subprocess.run(["rm", "-rf", self.work]))
        self.ready = os.path.join(self.work, "port")
        self.log = open(os.path.join(self.work, "log"), "w+")
        self.process = subprocess.Popen(
            [SERVER, "--user", USER, "--password", PASSWORD, "--port", "0",
             "--root", root, "--ready-file", self.ready, *extra],
            stdout=self.log, stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)
        wait_until(lambda: os.path.exists(self.ready) or self.process.poll() is not None,
                   "the ready file")
        if self.process.poll() is not None:
            raise AssertionError("the server ended: " + self.output())
        with open(self.ready) as ready:
            self.port = int(ready.read())

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(20)
        self.log.close()

    def client(self, test, user=USER, password=PASSWORD):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.port, timeout=20)
        test.addCleanup(ftp.close)
        ftp.login(user, password)
        ftp.voidcmd("TYPE I")
        ftp.set_pasv(True)
        return ftp


def tree_files(edition):
    folder = os.path.join(TREE, edition)
    return sorted(name for name in os.listdir(folder)
                  if os.path.isfile(os.path.join(folder, name)))


class ServesTheDemoTree(unittest.TestCase):
    def test_every_file_of_both_editions_arrives_byte_for_byte(self):
        server = DemoServer(self)
        ftp = server.client(self)
        for edition in EDITIONS:
            with self.subTest(edition=edition):
                # The client names the folder with two leading slashes.
                ftp.cwd("//" + edition)
                self.assertEqual(ftp.pwd(), "/" + edition)
                names = ftp.nlst()
                self.assertEqual(sorted(names), tree_files(edition))
                self.assertIn("Setup.exe", names)
                for name in names:
                    received = bytearray()
                    ftp.retrbinary("RETR " + name, received.extend)
                    with open(os.path.join(TREE, edition, name), "rb") as f:
                        self.assertEqual(bytes(received), f.read(), name)

    def test_the_tree_has_a_few_files_and_binary_data_in_each_edition(self):
        for edition in EDITIONS:
            names = tree_files(edition)
            self.assertGreaterEqual(len(names), 3, edition)
            with open(os.path.join(TREE, edition, "Data.bin"), "rb") as f:
                data = f.read()
            # Bytes that a text-mode transfer would change.
            for byte in (b"\0", b"\r", b"\n", b"\xff"):
                self.assertIn(byte, data, edition)

    def test_a_slow_line_sends_the_same_bytes_in_several_blocks(self):
        server = DemoServer(self, extra=("--rate", "256"))
        ftp = server.client(self)
        ftp.cwd("//Program_TKV1")
        blocks = []
        ftp.retrbinary("RETR Data.bin", blocks.append)
        with open(os.path.join(TREE, "Program_TKV1", "Data.bin"), "rb") as f:
            expected = f.read()
        self.assertEqual(b"".join(blocks), expected)
        # The server pauses after its first second's worth, so the file
        # cannot come in one piece.
        self.assertGreater(len(expected), 256)
        self.assertGreater(len(blocks), 1)

    def test_a_negative_rate_is_refused(self):
        result = subprocess.run(
            [SERVER, "--user", USER, "--password", PASSWORD, "--port", "0", "--rate", "-1"],
            capture_output=True, text=True, timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("--rate", result.stderr)

    def test_a_wrong_password_is_refused(self):
        server = DemoServer(self)
        with self.assertRaises(ftplib.error_perm) as refused:
            server.client(self, password="wrong123")
        self.assertTrue(str(refused.exception).startswith("530"))

    def test_the_tree_cannot_be_changed(self):
        server = DemoServer(self)
        ftp = server.client(self)
        ftp.cwd("//Program_TKV")
        before = tree_files("Program_TKV")
        for command in (lambda: ftp.storbinary("STOR New.txt", io.BytesIO(b"x")),
                        lambda: ftp.delete("ReadMe.txt"),
                        lambda: ftp.rename("Setup.exe", "Other.exe"),
                        lambda: ftp.mkd("Folder")):
            with self.assertRaises(ftplib.error_perm):
                command()
        self.assertEqual(tree_files("Program_TKV"), before)

    def test_the_root_cannot_be_left(self):
        server = DemoServer(self)
        ftp = server.client(self)
        ftp.cwd("//../..")
        self.assertEqual(ftp.pwd(), "/")
        self.assertEqual(sorted(ftp.nlst()), list(EDITIONS))


class Lifetime(unittest.TestCase):
    def test_a_taken_port_fails_with_a_message_and_no_ready_file(self):
        with socket.socket() as taken, tempfile.TemporaryDirectory() as work:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            ready = os.path.join(work, "port")
            result = subprocess.run(
                [SERVER, "--user", USER, "--password", PASSWORD, "--port", str(port),
                 "--ready-file", ready],
                capture_output=True, text=True, timeout=60)
            self.assertNotEqual(result.returncode, 0)
            self.assertIn("cannot listen on 127.0.0.1:%d: [Errno 98] Address already in use" % port,
                          result.stderr)
            self.assertFalse(os.path.exists(ready))

    def test_sigterm_ends_the_server_and_frees_its_port(self):
        server = DemoServer(self)
        server.process.send_signal(signal.SIGTERM)
        self.assertEqual(server.process.wait(20), 0)
        with socket.socket() as again:
            again.bind(("127.0.0.1", server.port))

    def test_the_server_ends_when_its_starter_is_killed(self):
        with tempfile.TemporaryDirectory() as work:
            ready = os.path.join(work, "port")
            # The starter is a shell that leaves the server running in the
            # background, as scripts/run does, and is then killed outright.
            starter = subprocess.Popen(
                ["/bin/sh", "-c", '"$0" --user %s --password %s --port 0 --ready-file "$1" '
                 '2>/dev/null & echo $!; exec sleep 600' % (USER, PASSWORD), SERVER, ready],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            server_pid = int(starter.stdout.readline())
            wait_until(lambda: os.path.exists(ready), "the ready file")
            starter.kill()
            starter.wait()
            starter.stdout.close()
            wait_until(lambda: not alive(server_pid), "the server to end")


class DemoInstallers(unittest.TestCase):
    def test_each_installer_runs_and_says_which_edition_it_is(self):
        environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        for edition in ("TKV", "TKV1"):
            with self.subTest(edition=edition), tempfile.TemporaryDirectory() as folder:
                installer = os.path.join(TREE, "Program_" + edition, "Setup.exe")
                with open(installer, "rb") as f:
                    self.assertEqual(f.read(10), b"#!/bin/sh\n")
                result = subprocess.run([installer], cwd=folder, env=environment,
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("%s demo installer started in %s" % (edition, folder),
                              result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
