#!/usr/bin/env python3
"""The Windows build (build-windows/dist) under Debian's wine64, in a Wine prefix of its own:
the command line against nginx and a server that keeps the request's bytes, a value written with
`wine64 reg add` read by the program, and the window on Xvfb with a tray (trayer): it pings at
start, shows its tray icon, and at exit saves its settings and the Run key in Wine's registry
(`wine64 reg query`); without OpenSSL's DLLs the TLS check says why it cannot run. Prints a
line a check and closes with "N passed, N failed"."""

import argparse
import os
import re
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from desktop import PROCESSES, Desktop, make_root, remove_root, run, wait_for  # noqa: E402
from servers import Nginx  # noqa: E402

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
KEY = r"HKCU\Software\Lumo Dev\Vennatro"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
WAIT = 60  # Wine starts slowly on a busy machine


class CaptureServer:
    """One HTTP exchange on 127.0.0.1: keeps the request's bytes, answers 200."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.requests = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                data = b""
                try:
                    while b"\r\n\r\n" not in data:
                        chunk = conn.recv(4096)
                        if not chunk:
                            break
                        data += chunk
                    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")
                except OSError:
                    pass
                self.requests.append(data)

    def close(self):
        self.sock.close()


class Wine:
    def __init__(self, root, env):
        self.prefix = os.path.join(root, "prefix")
        self.env = dict(env)
        self.env.update({"WINEPREFIX": self.prefix, "WINEDEBUG": "-all",
                         "WINEDLLOVERRIDES": "mscoree,mshtml="})

    def run(self, *args, timeout=120, env=None):
        return subprocess.run([WINE64, *args], env=env or self.env, capture_output=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)

    def boot(self):
        out = self.run("wineboot", "-i", timeout=300)
        # Windows 10, the oldest Qt 6 runs on (Wine's own default is Windows 7).
        version = self.run("winecfg", "/v", "win10")
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=300)
        return out.returncode == 0 and version.returncode == 0

    def reg_add(self, key, name, kind, data):
        out = self.run("reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f")
        assert out.returncode == 0, out.stdout.decode(errors="replace")

    def reg_query(self, key):
        out = self.run("reg", "query", key)
        return out.stdout.decode("utf-8", errors="replace").replace("\r\n", "\n")

    def windows_version(self):
        """Wine's reported version, "10.0" from "Microsoft Windows 10.0.19043"."""
        text = self.run("cmd", "/c", "ver").stdout.decode(errors="replace")
        m = re.search(r"(\d+)\.(\d+)\.\d+", text)
        return f"{m.group(1)}.{m.group(2)}" if m else None

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=60)


def reg_value(text, name):
    """(type, data) of a value in `reg query` output, or None."""
    for line in text.splitlines():
        parts = re.split(r"\s{4}", line.strip())
        if len(parts) >= 3 and parts[0] == name:
            return parts[1], parts[2]
        if len(parts) == 2 and parts[0] == name:
            return parts[1], ""
    return None


class Suite:
    def __init__(self, dist, root):
        self.dist = dist
        self.root = root
        self.results = []
        self.cli = os.path.join(dist, "vennatro.exe")
        self.window = os.path.join(dist, "vennatro-window.exe")

    def check(self, name, fn):
        start = time.monotonic()
        try:
            fn()
        except Exception as e:  # a failed check is reported and the suite goes on
            self.results.append(False)
            print(f"FAIL {name}: {e}", flush=True)
            return
        self.results.append(True)
        print(f"PASS {name} ({time.monotonic() - start:.1f} s)", flush=True)

    def ping(self, url, *options):
        out = self.wine.run(self.cli, "--ping", url, *options, timeout=120)
        return out.returncode, out.stdout.decode("utf-8", errors="replace") + \
            out.stderr.decode("utf-8", errors="replace")

    def main(self):
        base_env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("DISPLAY", "WAYLAND", "XDG_", "DBUS_", "QT_", "WINE"))}
        base_env.setdefault("HOME", self.root)
        self.wine = Wine(self.root, base_env)
        self.check("a Wine prefix of the test's own", lambda: assert_true(self.wine.boot()))
        self.version = self.wine.windows_version()
        self.agent = f"Vennatro/1.0.1 (Windows NT {self.version})"
        log_dir = os.path.join(self.root, "logs")
        os.makedirs(log_dir, exist_ok=True)
        self.nginx = Nginx(self.root, log_dir)
        self.nginx.start(base_env)
        self.capture = CaptureServer()
        try:
            self.check("--ping: the exact request bytes with the Windows user agent",
                       self.check_request_bytes)
            self.check("--ping against nginx: completed, the Windows user agent in its log",
                       self.check_nginx_ping)
            self.check("values written with `wine64 reg add` are the program's settings",
                       self.check_reg_add)
            self.check("--ping to a refused port: Winsock's number and text", self.check_refused)
            self.check("--tls without OpenSSL's DLLs: the check says why it cannot run",
                       self.check_tls_without_openssl)
            self.check("the window under Wine: pings, tray icon, settings and Run key at exit",
                       self.check_window)
        finally:
            self.capture.close()
            self.nginx.stop()
            self.wine.stop()
        passed = self.results.count(True)
        print(f"{passed} passed, {len(self.results) - passed} failed", flush=True)
        return 0 if passed == len(self.results) else 1

    def check_request_bytes(self):
        assert self.version, "Wine reported no Windows version"
        status, text = self.ping(f"http://127.0.0.1:{self.capture.port}/probe?x=1")
        assert status == 0, f"status {status}: {text}"
        wait_for(lambda: self.capture.requests, 10, "the request")
        want = (f"HEAD /probe?x=1 HTTP/1.0\r\nHost: 127.0.0.1:{self.capture.port}\r\n"
                f"Connection: close\r\nUser-Agent: {self.agent}\r\n\r\n").encode()
        got = self.capture.requests[-1]
        assert got == want, f"sent {got!r}, expected {want!r}"

    def check_nginx_ping(self):
        status, text = self.ping(f"http://127.0.0.1:{self.nginx.port}/")
        assert status == 0, f"status {status}: {text}"
        wait_for(lambda: self.nginx.requests(), 10, "nginx's log")
        last = self.nginx.requests()[-1]
        assert last["method"] == "HEAD" and last["status"] == "200", last
        assert last["agent"] == self.agent, last

    def check_reg_add(self):
        # The HTTP port and the computer name in the user agent: a REG_DWORD each.
        self.wine.reg_add(KEY, "HTTP port", "REG_DWORD", self.capture.port)
        self.wine.reg_add(KEY, "Include computer name in user agent", "REG_DWORD", 1)
        before = len(self.capture.requests)
        status, text = self.ping("http://127.0.0.1/")
        assert status == 0, f"status {status}: {text}"
        wait_for(lambda: len(self.capture.requests) > before, 10, "the request")
        got = self.capture.requests[-1].decode("latin-1")
        m = re.search(r"User-Agent: (.*)\r\n", got)
        assert m and m.group(1).startswith(self.agent + " [") and m.group(1).endswith("]"), got
        assert f"Host: 127.0.0.1\r\n" in got, got
        # A value of the wrong kind: the default stands for it, as on Windows.
        self.wine.reg_add(KEY, "HTTP port", "REG_SZ", "8")
        self.wine.reg_add(KEY, "Include computer name in user agent", "REG_DWORD", 0)
        status, text = self.ping(f"http://127.0.0.1:{self.capture.port}/")
        assert status == 0, f"status {status}: {text}"

    def check_refused(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))  # bound, never listening: refused
        port = s.getsockname()[1]
        try:
            status, text = self.ping(f"http://127.0.0.1:{port}/")
        finally:
            s.close()
        assert status != 0, text
        assert "10061" in text, text

    def check_tls_without_openssl(self):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen(1)  # the connect completes; the handshake never starts
        try:
            status, text = self.ping(f"https://127.0.0.1:{s.getsockname()[1]}/", "--tls",
                                     "--attempts", "1")
        finally:
            s.close()
        assert status != 0, text
        assert "TLS handshake failed: the TLS library could not start (" in text, text
        assert "libcrypto-3-x64" in text, text

    def check_window(self):
        self.wine.reg_add(KEY, "Auto-ping at start", "REG_DWORD", 1)
        self.wine.reg_add(KEY, "Auto-ping address", "REG_SZ",
                          f"http://127.0.0.1:{self.nginx.port}/window")
        self.wine.reg_add(KEY, "Start with Windows", "REG_DWORD", 1)
        self.wine.reg_add(KEY, "Ping attempts", "REG_DWORD", 2)
        with Desktop("xembed", os.path.join(self.root, "desktop")) as desktop:
            env = dict(desktop.env)
            env.update({k: v for k, v in self.wine.env.items() if k.startswith("WINE")})
            trays = desktop.tray_window()
            docked_before = sum(len(desktop.x.descendants(t)) for t in trays)
            proc = PROCESSES.start("vennatro-window", [WINE64, self.window], env,
                                   desktop.log_dir, cwd=self.root)
            try:
                wait_for(lambda: any(r["path"] == "/window" and r["agent"] == self.agent
                                     for r in self.nginx.requests()), WAIT,
                         "the window's ping at start in nginx's log")

                def window_id():
                    out = run(["xdotool", "search", "--name", "^Vennatro$"], env).stdout.split()
                    return int(out[0]) if out else None
                wait_for(window_id, WAIT, "the main window")
                wait_for(lambda: sum(len(desktop.x.descendants(t)) for t in trays) >
                         docked_before, WAIT, "the tray icon docked in the notification area")
                shots = os.environ.get("VENNATRO_SCREENSHOTS")
                if shots:
                    os.makedirs(shots, exist_ok=True)
                    run(["import", "-window", "root", os.path.join(shots, "wine.png")], env)
                # The exit command (Alt+X): the window saves its settings and the Run key.
                win = window_id()
                run(["xdotool", "windowactivate", "--sync", str(win)], env, timeout=20)
                run(["xdotool", "key", "--window", str(win), "alt+x"], env)
                proc.wait(timeout=WAIT)
            finally:
                PROCESSES.stop(proc)
        subprocess.run([WINESERVER, "-w"], env=self.wine.env, timeout=120)
        values = self.wine.reg_query(KEY)
        assert reg_value(values, "Ping attempts") == ("REG_DWORD", "0x2"), values
        assert reg_value(values, "Auto-ping address") == (
            "REG_SZ", f"http://127.0.0.1:{self.nginx.port}/window"), values
        recent = reg_value(values, "Recent URLs")
        assert recent and recent[0] == "REG_SZ", values
        run_value = reg_value(self.wine.reg_query(RUN_KEY), "Vennatro")
        assert run_value and run_value[0] == "REG_SZ", run_value
        assert run_value[1].lower().endswith("vennatro-window.exe -quiet"), run_value
        assert not run_value[1].startswith('"'), run_value


def assert_true(value):
    assert value


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True, help="build-windows/dist")
    args = parser.parse_args()
    root = make_root("vennatro-wine-")
    try:
        return Suite(os.path.abspath(args.dist), root).main()
    finally:
        if not os.environ.get("VENNATRO_E2E_KEEP"):
            remove_root(root)


if __name__ == "__main__":
    sys.exit(main())
