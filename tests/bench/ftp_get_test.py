#!/usr/bin/python3
"""bench/ftp-get against the bundled demo server (pyftpdlib) on 127.0.0.1.

A few MiB of random bytes, in passive and active mode, and a list of small
files over one login, compared byte for byte; and the failures that must
end with a non-zero status and a line that says what went wrong. Nothing
here is timed.

    ftp_get_test.py <source folder> <ftp-get program>
"""

import os
import socket
import subprocess
import sys
import tempfile
import unittest

PROGRAM = os.path.realpath(sys.argv.pop(2))
# The demo server's test module takes the source folder from the command
# line as it is imported, and brings the launcher this test shares.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "scripts"))
import demo_server_test as demo  # noqa: E402


class FtpGetTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.out = tempfile.mkdtemp()
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.root, self.out]))

    def add(self, name, data):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)
        return data

    def run_tool(self, *args):
        return subprocess.run([PROGRAM, *args], capture_output=True, text=True, timeout=60)

    def account(self, server):
        return ["127.0.0.1", str(server.port), demo.USER, demo.PASSWORD]

    def read(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            return f.read()

    def test_a_few_mebibytes_arrive_byte_for_byte_in_both_modes(self):
        # One size on a block boundary and one that ends with a short block.
        files = {"even.bin": self.add("even.bin", os.urandom(4 << 20)),
                 "odd.bin": self.add("odd.bin", os.urandom(3 * 1000 * 1000 + 12345))}
        server = demo.DemoServer(self, self.root)
        for mode in ([], ["--active"]):
            for name, data in files.items():
                with self.subTest(mode=mode, name=name):
                    local = os.path.join(self.out, name)
                    done = self.run_tool(*mode, *self.account(server), name, local)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    self.assertEqual(done.stderr, "")
                    self.assertTrue(self.read(name) == data, "the bytes differ")
                    os.remove(local)

    def test_a_list_of_names_arrives_over_one_login(self):
        files = {"f%02d" % i: self.add("f%02d" % i, os.urandom(4096 + i)) for i in range(20)}
        files["empty"] = self.add("empty", b"")
        names = os.path.join(self.root, "names.txt")
        with open(names, "w") as f:
            # Blank lines and CR LF endings are taken as well.
            f.write("\n".join(files) + "\r\n\n")
        server = demo.DemoServer(self, self.root)
        done = self.run_tool("--list", names, *self.account(server), self.out)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(sorted(os.listdir(self.out)), sorted(files))
        for name, data in files.items():
            self.assertTrue(self.read(name) == data, name)
        self.assertEqual(server.output().count("USER '%s' logged in" % demo.USER), 1,
                         server.output())

    def test_failures_end_with_a_status_and_a_reason(self):
        self.add("there", b"x")
        names = os.path.join(self.root, "names.txt")
        with open(names, "w") as f:
            f.write("there\nmissing\n")
        server = demo.DemoServer(self, self.root)
        port = str(server.port)
        local = os.path.join(self.out, "f")
        cases = [
            ("missing file", ["127.0.0.1", port, demo.USER, demo.PASSWORD, "missing", local],
             1, "missing: error 550"),
            ("second name of a list missing",
             ["--list", names, "127.0.0.1", port, demo.USER, demo.PASSWORD, self.out],
             1, "missing: error 550"),
            ("wrong password", ["127.0.0.1", port, demo.USER, "wrong", "there", local],
             1, "login: error 530"),
            ("local folder missing",
             ["127.0.0.1", port, demo.USER, demo.PASSWORD, "there", self.out + "/no/f"],
             1, "there: " + self.out + "/no/f"),
            ("nobody listening", ["127.0.0.1", str(free_port()), "u", "p", "there", local],
             1, "login: socket error 10061"),
            ("names file missing", ["--list", self.out + "/none", "127.0.0.1", port, "u", "p",
                                    self.out], 1, "cannot read"),
            ("too few arguments", ["127.0.0.1", port], 2, "usage:"),
            ("unknown option", ["--fast", "127.0.0.1", port, "u", "p", "a", "b"], 2, "--fast"),
        ]
        for what, args, status, text in cases:
            with self.subTest(what):
                done = self.run_tool(*args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stderr)
                if status == 1:
                    self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)


def free_port():
    # A port that was free a moment ago: bound, then closed again.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


if __name__ == "__main__":
    unittest.main()
