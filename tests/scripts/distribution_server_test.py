#!/usr/bin/python3
"""The configure-time check of the compiled-in distribution server
(cmake/DistributionServer.cmake), run in CMake's script mode on a table of
values: every wrong value fails with a message naming its option, and the
password is never repeated in that message.

    distribution_server_test.py <cmake> <source folder>
"""

import os
import subprocess
import sys
import unittest

CMAKE = sys.argv.pop(1) if len(sys.argv) > 2 else "cmake"
SOURCE = os.path.realpath(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
CHECK = os.path.join(SOURCE, "cmake", "DistributionServer.cmake")
GOOD = {"TKV_FTP_HOST": "127.0.0.1", "TKV_FTP_USER": "tkvdem",
        "TKV_FTP_PASSWORD": "tkv1demo", "TKV_FTP_SERVICE": "2121"}


def check(**changes):
    values = dict(GOOD, **changes)
    result = subprocess.run(
        [CMAKE] + ["-D%s=%s" % item for item in values.items()] + ["-P", CHECK],
        capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout + result.stderr


class DistributionServerOptions(unittest.TestCase):
    def test_accepted_values(self):
        for option, value in [
            ("TKV_FTP_HOST", "ftp.example.com"), ("TKV_FTP_HOST", "localhost"),
            ("TKV_FTP_HOST", "a"), ("TKV_FTP_HOST", "dist-1.tkv.example"),
            ("TKV_FTP_USER", "abcxyz"),
            ("TKV_FTP_PASSWORD", "ABCD1234"), ("TKV_FTP_PASSWORD", "12345678"),
            ("TKV_FTP_SERVICE", "ftp"), ("TKV_FTP_SERVICE", "21"),
            ("TKV_FTP_SERVICE", "1"), ("TKV_FTP_SERVICE", "65535"),
            ("TKV_FTP_SERVICE", "ftp-data"),
        ]:
            with self.subTest(option=option, value=value):
                code, output = check(**{option: value})
                self.assertEqual(code, 0, output)

    def test_refused_values_name_their_option(self):
        for option, value in [
            ("TKV_FTP_HOST", ""), ("TKV_FTP_HOST", " 127.0.0.1"), ("TKV_FTP_HOST", "-host"),
            ("TKV_FTP_HOST", "host."), ("TKV_FTP_HOST", "ftp://host"),
            ("TKV_FTP_HOST", "a b"), ("TKV_FTP_HOST", "x" * 254),
            ("TKV_FTP_USER", ""), ("TKV_FTP_USER", "tkvde"), ("TKV_FTP_USER", "tkvdemo"),
            ("TKV_FTP_USER", "Tkvdem"), ("TKV_FTP_USER", "tkvde1"), ("TKV_FTP_USER", "tkv de"),
            ("TKV_FTP_PASSWORD", ""), ("TKV_FTP_PASSWORD", "tkv1dem"),
            ("TKV_FTP_PASSWORD", "tkv1demo9"), ("TKV_FTP_PASSWORD", "tkv1dem!"),
            ("TKV_FTP_PASSWORD", "tkv demo"),
            ("TKV_FTP_SERVICE", ""), ("TKV_FTP_SERVICE", "0"), ("TKV_FTP_SERVICE", "65536"),
            ("TKV_FTP_SERVICE", "0021"), ("TKV_FTP_SERVICE", "99999"), ("TKV_FTP_SERVICE", "-21"),
            ("TKV_FTP_SERVICE", "ftp port"), ("TKV_FTP_SERVICE", "2ftp"),
            ("TKV_FTP_SERVICE", "a-very-long-service-name"),
        ]:
            with self.subTest(option=option, value=value):
                code, output = check(**{option: value})
                self.assertNotEqual(code, 0, output)
                self.assertIn("Wrong distribution server settings", output)
                self.assertIn(option, output)
                others = [name for name in GOOD if name != option]
                for other in others:
                    self.assertNotIn(other + " ", output, "only the wrong option is named")
                if option == "TKV_FTP_PASSWORD" and value:
                    self.assertNotIn(value, output)

    def test_every_wrong_option_is_named_at_once(self):
        code, output = check(TKV_FTP_HOST="", TKV_FTP_USER="ROOT", TKV_FTP_PASSWORD="x",
                             TKV_FTP_SERVICE="0")
        self.assertNotEqual(code, 0)
        for option in GOOD:
            self.assertIn(option, output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
