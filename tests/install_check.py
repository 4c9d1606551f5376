#!/usr/bin/env python3
"""What `cmake --install` lays out, checked as desktops and package tools read it.

    install_check.py BUILD_DIR SOURCE_DIR VERSION

Installs BUILD_DIR into a temporary prefix and checks: the exact list of files; the PNG icons'
sizes; the desktop entry with desktop-file-validate (no error, warning or hint) and against the
installed files; the metainfo with `appstreamcli validate --no-net`, against the desktop entry,
docs/screenshots and CHANGELOG.md; the systemd user unit with `systemd-analyze --user verify`;
that CHANGELOG.md and debian/changelog name VERSION. A validator that is not installed is
skipped with a message, and the test then ends as skipped (77) once everything else passed.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

APP_ID = "dev.lumo.Vennatro"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
SKIPPED = 77


class Check:
    def __init__(self, build, source, version):
        self.build, self.source, self.version = build, source, version
        self.failures, self.skipped = [], []

    def fail(self, text):
        self.failures.append(text)
        print(f"FAIL: {text}")

    def ok(self, text):
        print(f"ok: {text}")

    def tool(self, name, package):
        path = shutil.which(name)
        if not path:
            self.skipped.append(name)
            print(f"skipped: {name} is not installed (Debian: {package})")
        return path

    def run(self, prefix):
        self.prefix = prefix
        subprocess.run(["cmake", "--install", self.build, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        self.layout()
        self.icons()
        self.desktop_entry()
        self.metainfo()
        self.unit()
        self.versions()

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def layout(self):
        want = {"bin/vennatro", "bin/vennatro-window",
                f"share/applications/{APP_ID}.desktop",
                f"share/metainfo/{APP_ID}.metainfo.xml",
                f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
                "lib/systemd/user/vennatro.service"}
        want |= {f"share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png" for n in ICON_SIZES}
        have = set()
        for folder, _, files in os.walk(self.prefix):
            have |= {os.path.relpath(os.path.join(folder, f), self.prefix) for f in files}
        if have != want:
            self.fail(f"installed files: missing {sorted(want - have)}, "
                      f"unexpected {sorted(have - want)}")
        else:
            self.ok(f"{len(have)} files installed where desktops look for them")

    def icons(self):
        for n in ICON_SIZES:
            name = f"share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png"
            size = png_size(self.path(name))
            if size != (n, n):
                self.fail(f"{name} is {size}, not {n}x{n}")
        self.ok(f"PNG icons of {', '.join(map(str, ICON_SIZES))} pixels")

    def desktop_entry(self):
        name = f"share/applications/{APP_ID}.desktop"
        entry = read_entry(self.path(name))
        for key in ("Exec", "TryExec"):
            program = entry.get(key, "").split(" ")[0]
            if not os.path.isfile(self.path(f"bin/{program}")):
                self.fail(f"{name}: {key}={entry.get(key)} names no installed program")
        if entry.get("Icon") != APP_ID:
            self.fail(f"{name}: Icon={entry.get('Icon')}, not {APP_ID}")
        for key, want in (("Categories", "Network;Monitor;"), ("StartupNotify", "true")):
            if entry.get(key) != want:
                self.fail(f"{name}: {key}={entry.get(key)}, not {want}")
        if not entry.get("Keywords"):
            self.fail(f"{name}: no Keywords")
        validator = self.tool("desktop-file-validate", "desktop-file-utils")
        if validator:
            said = subprocess.run([validator, self.path(name)], capture_output=True, text=True)
            text = (said.stdout + said.stderr).strip()
            if said.returncode != 0 or text:
                self.fail(f"desktop-file-validate {name}: status {said.returncode}: {text}")
            else:
                self.ok("desktop-file-validate: no error, warning or hint")

    def metainfo(self):
        name = f"share/metainfo/{APP_ID}.metainfo.xml"
        root = ET.parse(self.path(name)).getroot()
        if root.findtext("id") != APP_ID:
            self.fail(f"{name}: id {root.findtext('id')}")
        launchable = root.findtext("launchable[@type='desktop-id']")
        if launchable != f"{APP_ID}.desktop":
            self.fail(f"{name}: launchable {launchable}")
        binaries = [b.text for b in root.iterfind("provides/binary")]
        if sorted(binaries) != ["vennatro", "vennatro-window"]:
            self.fail(f"{name}: provides binaries {binaries}")
        if root.find("content_rating") is None:
            self.fail(f"{name}: no content rating")
        # Each screenshot is one of docs/screenshots, published under its name, with its size.
        shots = list(root.iterfind("screenshots/screenshot/image"))
        if not shots:
            self.fail(f"{name}: no screenshots")
        for image in shots:
            local = os.path.join(self.source, "docs", "screenshots", image.text.rsplit("/", 1)[-1])
            if not os.path.isfile(local):
                self.fail(f"{name}: screenshot {image.text} is not in docs/screenshots")
                continue
            size = (int(image.get("width", 0)), int(image.get("height", 0)))
            if size != png_size(local):
                self.fail(f"{name}: {image.text} is said to be {size}, is {png_size(local)}")
        # The releases are CHANGELOG.md's, newest first.
        released = changelog_releases(os.path.join(self.source, "CHANGELOG.md"))
        listed = [(r.get("version"), r.get("date")) for r in root.iterfind("releases/release")]
        if listed != released:
            self.fail(f"{name}: releases {listed}, CHANGELOG.md has {released}")
        validator = self.tool("appstreamcli", "appstream")
        if validator:
            said = subprocess.run([validator, "validate", "--no-net", self.path(name)],
                                  capture_output=True, text=True)
            if said.returncode != 0:
                self.fail(f"appstreamcli validate {name}: status {said.returncode}:\n"
                          f"{said.stdout}{said.stderr}")
            else:
                self.ok(f"appstreamcli validate --no-net: {len(shots)} screenshots, "
                        f"{len(listed)} releases")

    def unit(self):
        name = "lib/systemd/user/vennatro.service"
        with open(self.path(name)) as f:
            lines = f.read().splitlines()
        for want in (f"ExecStart={self.path('bin/vennatro')} --serve", "Restart=on-failure",
                     "WantedBy=default.target"):
            if want not in lines:
                self.fail(f"{name} has no line {want!r}")
        analyze = self.tool("systemd-analyze", "systemd")
        if analyze:
            # A user manager of its own: the test may run where no session has one.
            with tempfile.TemporaryDirectory() as runtime:
                env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
                said = subprocess.run([analyze, "--user", "verify", self.path(name)], env=env,
                                      capture_output=True, text=True)
            text = said.stdout + said.stderr
            # It reports mistakes it can read past (a bad value) only as text, with status 0.
            if said.returncode != 0 or "vennatro.service" in text:
                self.fail(f"systemd-analyze --user verify {name}: status {said.returncode}: "
                          f"{text.strip()}")
            else:
                self.ok("systemd-analyze --user verify: accepted")

    def versions(self):
        released = changelog_releases(os.path.join(self.source, "CHANGELOG.md"))
        if not released or released[0][0] != self.version:
            self.fail(f"CHANGELOG.md's newest release is {released[:1]}, not {self.version}")
        with open(os.path.join(self.source, "debian", "changelog")) as f:
            first = f.readline()
        match = re.match(r"vennatro \(([^)]+)\)", first)
        if not match or match.group(1).split("-")[0] != self.version:
            self.fail(f"debian/changelog starts {first.strip()!r}, not version {self.version}")
        else:
            self.ok(f"version {self.version} in CMakeLists.txt, CHANGELOG.md, debian/changelog")


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def read_entry(path):
    entry = {}
    with open(path) as f:
        for line in f:
            key, sep, value = line.rstrip("\n").partition("=")
            if sep:
                entry[key] = value
    return entry


def changelog_releases(path):
    with open(path) as f:
        return re.findall(r"^## \[(\d[\d.]*)\] - (\d{4}-\d\d-\d\d) *$", f.read(), re.M)


def main():
    build, source, version = sys.argv[1:4]
    check = Check(os.path.abspath(build), os.path.abspath(source), version)
    with tempfile.TemporaryDirectory(prefix="vennatro-install-") as prefix:
        check.run(prefix)
    if check.failures:
        print(f"{len(check.failures)} failed")
        return 1
    if check.skipped:
        print(f"skipped in part: {', '.join(check.skipped)} missing")
        return SKIPPED
    return 0


if __name__ == "__main__":
    sys.exit(main())
