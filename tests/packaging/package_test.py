#!/usr/bin/python3
"""The Debian package of TKV Setup, made by CPack from the build folder,
and the tool that makes its icons from the window's picture.

The package is built once into a temporary folder, unpacked there with
dpkg-deb -x, and checked: its fields, its exact file list, its dependencies
against the libraries the program loads, the desktop entry, the icons, and
the unpacked program started on a private Xvfb display, where its window
shows the desktop its class, icon name and icon.

    package_test.py <cpack> <build folder>
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

BUILD = os.path.realpath(sys.argv.pop(2))
CPACK = sys.argv.pop(1)

PACKAGE = "tkv-setup"
CAPTION = "Program Installation System  (Updated on 2019/03/25)"
ICON_SIZES = (16, 32, 48)
# The window's picture: its corners are transparent, the arrow's shaft is
# white and the face around it blue.
BLUE = (0x1F, 0x5F, 0xBF, 255)
WHITE = (255, 255, 255, 255)

FILES = {
    "usr/bin/tkv-setup": 0o755,
    "usr/share/applications/tkv-setup.desktop": 0o644,
    "usr/share/doc/tkv-setup/README.md": 0o644,
    "usr/share/doc/tkv-setup/copyright": 0o644,
}
for _size in ICON_SIZES:
    FILES["usr/share/icons/hicolor/%dx%d/apps/tkv-setup.png" % (_size, _size)] = 0o644


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def project_version():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    raise AssertionError("no project version in the build's cache")


def read_png(path):
    """Width, height and RGBA rows of an 8-bit RGBA PNG without filters,
    the form tkv-icon writes."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError("%s is no PNG file" % path)
    at, chunks = 8, {}
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        crc = struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0]
        if zlib.crc32(kind + body) != crc:
            raise AssertionError("%s: bad checksum of chunk %s" % (path, kind))
        chunks[kind] = chunks.get(kind, b"") + body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[b"IHDR"])
    if (depth, colour, interlace) != (8, 6, 0):
        raise AssertionError("%s: not 8-bit RGBA without interlace" % path)
    raw = zlib.decompress(chunks[b"IDAT"])
    stride = 1 + 4 * width
    rows = []
    for y in range(height):
        line = raw[y * stride:(y + 1) * stride]
        if line[0] != 0:
            raise AssertionError("%s: row %d is filtered" % (path, y))
        rows.append([tuple(line[1 + 4 * x:5 + 4 * x]) for x in range(width)])
    return width, height, rows


class Xvfb:
    """A private X server on a display number it picks itself."""

    def __init__(self, work):
        read_end, write_end = os.pipe()
        self.log = open(os.path.join(work, "xvfb.log"), "w")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=self.log, stderr=subprocess.STDOUT)
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.stop()
            raise AssertionError("Xvfb did not start")
        self.display = ":" + number

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.log.close()


class DebianPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        out = os.path.join(cls.work, "out")
        run(CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out)
        debs = [name for name in os.listdir(out) if name.endswith(".deb")]
        if len(debs) != 1:
            raise AssertionError("expected one package, CPack made %s" % debs)
        cls.deb = os.path.join(out, debs[0])
        cls.root = os.path.join(cls.work, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).strip()

    def test_name_version_and_architecture(self):
        version = project_version()
        architecture = run("dpkg", "--print-architecture").strip()
        self.assertEqual(self.field("Package"), PACKAGE)
        self.assertEqual(self.field("Version"), version)
        self.assertEqual(self.field("Architecture"), architecture)
        self.assertEqual(os.path.basename(self.deb),
                         "%s_%s_%s.deb" % (PACKAGE, version, architecture))
        self.assertRegex(self.field("Maintainer"), r"^[^<>]+ <[^<>@]+@[^<>]+>$")
        self.assertTrue(self.field("Description"))

    def test_holds_exactly_its_files_owned_by_root(self):
        listing = run("dpkg-deb", "-c", self.deb).splitlines()
        files = {}
        for line in listing:
            mode, owner = line.split()[:2]
            path = line.split(None, 5)[5]
            self.assertEqual(owner, "root/root", line)
            if mode.startswith("d"):
                continue
            self.assertTrue(mode.startswith("-"), "not a plain file: " + line)
            files[path.removeprefix("./")] = mode
        self.assertEqual(set(files), set(FILES))
        for path, mode in FILES.items():
            self.assertEqual(os.stat(os.path.join(self.root, path)).st_mode & 0o7777, mode, path)
        # Debian runs the desktop database and icon cache updates through
        # triggers: the package needs no maintainer scripts.
        control = os.path.join(self.work, "control")
        run("dpkg-deb", "-e", self.deb, control)
        self.assertEqual(sorted(os.listdir(control)), ["control", "md5sums"])

    def test_depends_on_the_packages_of_the_loaded_libraries_and_the_font(self):
        program = os.path.join(self.root, "usr/bin/tkv-setup")
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", run("readelf", "-d", program))
        self.assertNotIn("libfltk.so.1.3", needed, "FLTK must be linked in")
        paths = dict(re.findall(r"^\s*(\S+) => (\S+)", run("ldd", program), re.M))
        wanted = {"fonts-noto-cjk"}
        for soname in needed:
            self.assertIn(soname, paths, "ldd does not find " + soname)
            path = os.path.realpath(paths[soname])
            owner = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
            if owner.returncode != 0:
                # Debian 12 merged /lib into /usr/lib; dpkg knows one of the two names.
                other = path.replace("/usr/lib/", "/lib/", 1) if path.startswith("/usr/") \
                    else "/usr" + path
                owner = subprocess.run(["dpkg", "-S", other], capture_output=True, text=True)
            self.assertEqual(owner.returncode, 0, "no package owns " + path)
            wanted.add(owner.stdout.split(":")[0])
        depends = {d.strip() for d in self.field("Depends").split(",")}
        self.assertEqual(depends, wanted)

    def test_desktop_entry_is_valid_and_names_the_window_class(self):
        entry = os.path.join(self.root, "usr/share/applications/tkv-setup.desktop")
        validate = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual(validate.returncode, 0, validate.stdout + validate.stderr)
        self.assertEqual(validate.stdout + validate.stderr, "")
        with open(entry, encoding="utf-8") as f:
            keys = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        self.assertEqual(keys["Name"], "TKV Setup")
        self.assertTrue(re.search(r"[\u4e00-\u9fff]", keys["Name[zh_TW]"]), keys["Name[zh_TW]"])
        self.assertTrue(keys["Comment"])
        self.assertEqual(keys["Exec"], "tkv-setup")
        self.assertEqual(keys["Icon"], "tkv-setup")
        self.assertEqual(keys["StartupWMClass"], "tkv-setup")
        self.assertIn("PackageManager", keys["Categories"].split(";"))

    def test_icons_are_the_window_picture_in_each_size(self):
        for size in ICON_SIZES:
            with self.subTest(size=size):
                path = os.path.join(self.root, "usr/share/icons/hicolor/%dx%d/apps/tkv-setup.png"
                                    % (size, size))
                width, height, rows = read_png(path)
                self.assertEqual((width, height), (size, size))
                at = lambda x, y: rows[round(y * size / 32)][round(x * size / 32)]
                self.assertEqual(at(0, 0)[3], 0, "a corner is not transparent")
                self.assertEqual(at(16, 10), WHITE)
                self.assertEqual(at(4, 10), BLUE)

    def test_the_unpacked_program_shows_its_window_to_the_desktop(self):
        work = tempfile.mkdtemp(dir=self.work)
        xvfb = Xvfb(work)
        self.addCleanup(xvfb.stop)
        env = dict(os.environ, DISPLAY=xvfb.display, HOME=os.path.join(work, "home"),
                   XDG_DATA_HOME=os.path.join(work, "data"))
        os.makedirs(env["HOME"])
        output = open(os.path.join(work, "program.out"), "w+")
        self.addCleanup(output.close)
        program = subprocess.Popen([os.path.join(self.root, "usr/bin/tkv-setup")], env=env,
                                   cwd=env["HOME"], stdout=output, stderr=subprocess.STDOUT)

        def stop():
            program.terminate()
            program.wait(timeout=30)
        self.addCleanup(stop)

        window = ""
        deadline = time.monotonic() + 30
        while not window:
            if program.poll() is not None:
                output.seek(0)
                self.fail("the program ended with %d: %s" % (program.returncode, output.read()))
            self.assertLess(time.monotonic(), deadline, "no window of class tkv-setup")
            found = subprocess.run(["xdotool", "search", "--class", "^tkv-setup$"], env=env,
                                   capture_output=True, text=True)
            window = found.stdout.split()[0] if found.stdout.split() else ""
            time.sleep(0.1)

        def prop(name, form=""):
            command = ["xprop", "-id", window] + (["-f", name, form] if form else []) + [name]
            return run(*command, env=env).strip()

        # The caption is set when the window is made, the icon before.
        self.assertEqual(prop("WM_CLASS"), 'WM_CLASS(STRING) = "tkv-setup", "tkv-setup"')
        self.assertEqual(prop("_NET_WM_ICON_NAME"),
                         '_NET_WM_ICON_NAME(UTF8_STRING) = "%s"' % CAPTION)
        self.assertEqual(prop("WM_ICON_NAME"), 'WM_ICON_NAME(STRING) = "%s"' % CAPTION)
        values = [int(v) for v in prop("_NET_WM_ICON", "32c").split("=", 1)[1].split(",")]
        self.assertEqual(values[:2], [32, 32])
        self.assertEqual(len(values), 2 + 32 * 32)
        argb = lambda x, y: values[2 + y * 32 + x]
        self.assertEqual(argb(0, 0) >> 24, 0, "a corner is not transparent")
        self.assertEqual(argb(16, 10), 0xFFFFFFFF)
        self.assertEqual(argb(4, 10), 0xFF1F5FBF)
        self.assertIsNone(program.poll())


FORM = """object Root: TRoot
  object Other: TImage
    Picture.Strings = ('1 1 1 1' 'x c #00FF00' 'x')
  end
  object Arrow: TImage
    Left = 4
    Picture.Strings = (
      '2 2 2 1'
      'r c #F00'
      '. c None'
      'r.'
      '.r')
    object Inner: TImage
    end
  end
end
"""


class IconToolTest(unittest.TestCase):
    """tkv-icon FORM COMPONENT SIZE OUT.png"""

    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.out = os.path.join(self.work, "icon.png")

    def make(self, form, component="Arrow", size="2"):
        path = os.path.join(self.work, "test.form")
        with open(path, "w") as f:
            f.write(form)
        return subprocess.run([os.path.join(BUILD, "resources", "tkv-icon"), path, component,
                               size, self.out], capture_output=True, text=True)

    def test_writes_the_named_component_picture_in_any_size(self):
        red, half, clear = (255, 0, 0, 255), (255, 0, 0, 128), (0, 0, 0, 0)
        cases = {
            "2": [[red, clear], [clear, red]],
            "4": [[red, red, clear, clear], [red, red, clear, clear],
                  [clear, clear, red, red], [clear, clear, red, red]],
            # A pixel that covers red and transparent ones in equal parts is
            # half opaque and still pure red: transparent pixels add no
            # colour.
            "3": [[red, half, clear], [half, half, half], [clear, half, red]],
        }
        for size, expected in cases.items():
            with self.subTest(size=size):
                result = self.make(FORM, size=size)
                self.assertEqual(result.returncode, 0, result.stderr)
                width, height, rows = read_png(self.out)
                self.assertEqual((width, height), (int(size),) * 2)
                for y, (row, wanted) in enumerate(zip(rows, expected)):
                    for x, (got, want) in enumerate(zip(row, wanted)):
                        self.assertLessEqual(abs(got[3] - want[3]), 1, (x, y, got))
                        if want[3]:
                            self.assertEqual(got[:3], want[:3], (x, y, got))

    def test_bad_input_fails_naming_the_fault_and_writes_nothing(self):
        cases = [
            ("unknown colour", FORM.replace("#F00", "salmon"), "Arrow", "salmon"),
            ("short row", FORM.replace("'.r')", "'.')"), "Arrow", "wrong length"),
            ("undefined key", FORM.replace("'.r')", "'.q')"), "Arrow", "undefined colour"),
            ("too few rows", FORM.replace("\n      '.r')", ")"), "Arrow", "lines"),
            ("open string", FORM.replace("'.r')", "'.r"), "Arrow", "not closed"),
            ("no component", FORM, "Missing", "no picture for Missing"),
        ]
        for name, form, component, message in cases:
            with self.subTest(name):
                result = self.make(form, component)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("test.form", result.stderr)
                self.assertFalse(os.path.exists(self.out))
        for size in ("0", "x", ""):
            with self.subTest(size=size):
                self.assertEqual(self.make(FORM, size=size).returncode, 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
