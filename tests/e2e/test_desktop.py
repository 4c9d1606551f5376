#!/usr/bin/python3
"""End-to-end checks of the built program on a real headless desktop.

    test_desktop.py --program build/vennatro --tray xembed|sni
                    [--suite main|bad-input|metrics|mail|watched|network|...]

"main" proves the program through its real interfaces: its window, its tray icon, the store
file, the log file, nginx, an SMTP server and the notification daemon. "bad-input" feeds it
broken store files, awkward web and mail servers and a log file it cannot write. "metrics"
(metrics_suite.py) runs the command line without a display and has Prometheus and node_exporter
read the metrics. "mail" (mail_suite.py) sends the alerts through a real exim.

Set VENNATRO_SCREENSHOTS=<folder> to keep PNG screenshots of the main window, the tray menu,
the options dialog and a notification. Set VENNATRO_E2E_KEEP=1 to keep the work folder.

Prints one line a check and closes with "N passed, N failed"; exits non-zero on any failure.
"""

import argparse
import logging
import os
import re
import socket
import sys
import time
import traceback
import warnings

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import store  # noqa: E402
from desktop import Desktop, make_root, remove_root, run, wait_for  # noqa: E402
from program import Program  # noqa: E402
from servers import (AwkwardHttpServer, ClosedPort, DroppingSmtpServer, Nginx,  # noqa: E402
                     SmtpServer)

USER_AGENT = re.compile(r"^Vennatro/1\.0\.1 \(Linux \d+\.\d+\)$")
SMTP_USER = "e2e-user"
SMTP_PASSWORD = "Pass 9% word"
MAIL_TO = "ops@example.test"
MAIL_FROM = "vennatro@example.test"
MAIL_SUBJECT = "Vennatro - Ping failure notification"
WAIT = 20  # seconds: the limit for an event that normally takes well under one


class Skip(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# The stored form of the SMTP password: filler, the password with its letters and digits
# swapped, and its length as the last character. Built here independently, so the round trip
# through the program is checked byte for byte.

def _swap(b):
    if 0x41 <= b <= 0x4D or 0x61 <= b <= 0x6D:
        return b + 13
    if 0x4E <= b <= 0x5A or 0x6E <= b <= 0x7A:
        return b - 13
    if 0x30 <= b <= 0x39:
        return b - 10
    if 0x26 <= b <= 0x2F:
        return b + 10
    return {0x20: 0x25, 0x25: 0x20, 0xF1: 0xE7, 0xE7: 0xF1, 0xD1: 0xC7, 0xC7: 0xD1}.get(b, b)


def scramble(password):
    plain = password.encode("latin-1")
    if not plain:
        return ""
    s = bytes(_swap(b) for b in plain)
    seed = 0
    for i, b in enumerate(s, 1):
        seed = (seed + i * b) & 0xFFFFFFFF
    filler = bytearray()
    for _ in range(max(0, 255 - len(s))):
        seed = (seed * 0x08088405 + 1) & 0xFFFFFFFF
        filler.append(32 + ((seed * 96) >> 32))
    return (bytes(filler) + s + bytes([len(s) % 256])).decode("latin-1")


# ---------------------------------------------------------------------------------------------
# Results


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.skipped = 0

    def run(self, scenario):
        print(f"== {scenario.title}", flush=True)
        steps = scenario.steps()
        done = 0
        try:
            scenario.setup()
            for name, step in steps:
                started = time.monotonic()
                try:
                    note = step()
                except Skip as e:
                    self.skipped += 1
                    print(f"SKIP {name}: {e}", flush=True)
                    done += 1
                    continue
                except Exception as e:
                    self.failed += 1
                    done += 1
                    print(f"FAIL {name}: {e}", flush=True)
                    if not isinstance(e, AssertionError):
                        traceback.print_exc()
                    print(scenario.context(), flush=True)
                    continue
                self.passed += 1
                done += 1
                print(f"ok   {name} ({time.monotonic() - started:.2f} s)", flush=True)
                if note:
                    print(f"     {note}", flush=True)
        except Exception as e:
            print(f"FAIL {scenario.title}: setup: {e}", flush=True)
            traceback.print_exc()
            print(scenario.context(), flush=True)
        finally:
            for name, _ in steps[done:]:
                self.failed += 1
                print(f"FAIL {name}: not reached", flush=True)
            scenario.teardown()


# ---------------------------------------------------------------------------------------------
# What every scenario shares


class Scenario:
    title = ""

    def __init__(self, args):
        self.args = args
        self.root = make_root()
        self.desktop = Desktop(args.tray, os.path.join(self.root, "desktop"))
        self.servers = []
        self.program = None
        self.shots = os.environ.get("VENNATRO_SCREENSHOTS")
        self.log_path = os.path.join(self.root, "vlog", "vennatro.log")

    def setup(self):
        self.desktop.start()
        self.program = Program(self.args.program, self.desktop)

    def teardown(self):
        if self.program:
            self.program.kill()
        for server in reversed(self.servers):
            try:
                server.stop()
            except Exception:
                pass
        self.desktop.stop()
        if os.environ.get("VENNATRO_E2E_KEEP"):
            print(f"(work folder kept: {self.root})")
        else:
            remove_root(self.root)

    # -- context for a failure -----------------------------------------------------------

    def context(self):
        parts = []
        if self.program and self.program.proc:
            state = "running" if self.program.running() else \
                f"ended with status {self.program.proc.returncode}"
            parts.append(f"--- program ({state}) output:\n{self.program.output()}")
        text = self.read_log_file()
        if text is not None:
            parts.append(f"--- log file {self.log_path} (end):\n{text[-3000:]}")
        try:
            parts.append("--- notifications: " + repr(
                [(n.get("summary"), n.get("body")) for n in self.desktop.dunst_history()]))
        except Exception:
            pass
        for server in self.servers:
            if isinstance(server, Nginx):
                reqs = [(r["request"], r["host"], r["agent"]) for r in server.requests()]
                parts.append(f"--- nginx requests: {reqs}")
        return "\n".join(parts)

    # -- helpers -------------------------------------------------------------------------

    @property
    def config_home(self):
        return self.desktop.config_home

    def read_log_file(self, path=None):
        try:
            with open(path or self.log_path, "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except OSError:
            return None

    def wait_log(self, pattern, timeout=WAIT, count=1, path=None):
        """Waits until the log file holds pattern (a regex) count times; returns the matches."""
        rx = re.compile(pattern)

        def probe():
            self.program.assert_running(" while its log file was awaited")
            text = self.read_log_file(path) or ""
            found = rx.findall(text)
            return found if len(found) >= count else None
        return wait_for(probe, timeout, f"{count} x /{pattern}/ in the log file")

    def set_address(self, text, then):
        """Puts text into the address box and presses then ("Return", "ctrl+p")."""
        p = self.program
        w = p.wait_main_window()
        p.key(w, "End", "shift+Home", "BackSpace")
        p.type_text(w, text)
        p.key(w, then)

    def shot(self, name, window=None):
        """The whole screen, cropped to its right part where the window, the tray icon and the
        notifications are; or one window with its frame."""
        if not self.shots:
            return
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, f"{name}.png")
        if window:
            argv = ["import", "-frame", "-window", str(window), path]
        else:
            argv = ["import", "-window", "root", "-crop", "1000x640+280+0", "+repage", path]
        run(argv, self.desktop.env, timeout=30, check=True)
        print(f"     screenshot {path}", flush=True)

    def start_and_wait_window(self, *args, **kw):
        p = self.program
        p.start(*args, **kw)
        return p.wait_main_window(timeout=30)

    def exit_with_alt_x(self):
        p = self.program
        w = p.wait_main_window()
        p.key(w, "alt+x")
        rc = p.wait_exit(20)
        if rc != 0:
            raise AssertionError(f"the program ended with status {rc} after Alt+X")

    def notifications(self, summary):
        return [n for n in self.desktop.dunst_history() if n.get("summary") == summary]

    def wait_notification(self, summary, body_part, timeout=WAIT):
        """A notification that reached dunst. dunst lists a notification in its history once it
        is closed, so the ones on show are closed (after a screenshot, if wanted) to read them."""
        def probe():
            if self.desktop.dunst_count("displayed") or self.desktop.dunst_count("waiting"):
                run(["dunstctl", "close-all"], self.desktop.env)
            for n in self.notifications(summary):
                if body_part in (n.get("body") or ""):
                    return n
            return None
        return wait_for(probe, timeout, f'a "{summary}" notification with "{body_part}"')


# ---------------------------------------------------------------------------------------------
# The main scenario: the program as a user meets it


class MainScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"main checks, tray host {args.tray}"
        self.nginx = None
        self.smtp = None
        self.closed = None
        self.second = None
        self.values = None

    def setup(self):
        super().setup()
        self.nginx = Nginx(self.root, self.desktop.log_dir)
        self.servers.append(self.nginx)
        self.nginx.start(self.desktop.env)
        self.smtp = SmtpServer(self.root, SMTP_USER, SMTP_PASSWORD)
        self.servers.append(self.smtp)
        self.smtp.start()
        self.closed = ClosedPort()
        self.servers.append(_Closer(self.closed))
        if self.shots:
            run(["xsetroot", "-solid", "#3b5568"], self.desktop.env)

    def steps(self):
        return [
            ("store file prepared in the private XDG_CONFIG_HOME", self.prepare_store),
            ('window titled "Vennatro" appears', self.window_appears),
            ("tray icon docks", self.tray_docks),
            ("Ctrl+P ping reaches nginx and logs its completion", self.ping_ctrl_p),
            ("Enter ping reaches nginx, logs and notifies", self.ping_enter),
            ("refused port: three error lines, notification, e-mail, error ping",
             self.refused_port),
            ("tray menu opens on a right click", self.tray_menu),
            ("options dialog opens with Ctrl+O and closes with Esc", self.options_dialog),
            ("Ctrl+A puts the window on top and back, where it stands", self.always_on_top),
            ("close button hides the window, the program keeps running", self.close_hides),
            ("StatusNotifierItem host: a single click on the icon shows the window",
             self.sni_single_click),
            ("second start ends within a second and brings the window forward",
             self.second_start),
            ("Alt+X ends it; the store holds every value with its kind", self.alt_x_saves),
            ('"Start with Windows" on leaves the autostart entry', self.autostart_entry),
            ("-quiet shows no window but docks the icon", self.quiet_start),
            ('"Start with Windows" off removes the autostart entry', self.autostart_removed),
        ]

    def prepare_store(self):
        self.values = {
            "HTTP port": self.nginx.port,
            "HTTPS port": self.closed.port,
            "Ping attempts": 3,
            "Save log": 1,
            "Log file": self.log_path,
            "Show notifications": 1,
            "Show only error notifications": 0,
            "Send email on error": 1,
            "Error email address": MAIL_TO,
            "From address": MAIL_FROM,
            "SMTP server": "127.0.0.1",
            "SMTP port": self.smtp.port,
            "SMTP user": SMTP_USER,
            "SMTP password": scramble(SMTP_PASSWORD),
            "Ping on error": 1,
            "Error ping address": "http://localhost/e2e-errorping",
            "Start with Windows": 1,
        }
        store.write_store(self.config_home, self.values)
        assert os.path.isfile(store.store_path(self.config_home))

    def window_appears(self):
        self.start_and_wait_window()

    def tray_docks(self):
        self.program.wait_tray_docked(WAIT)

    def _check_ping(self, path, key):
        address = f"http://127.0.0.1{path}"
        self.set_address(address, key)

        def request():
            for r in self.nginx.requests():
                if r["path"] == path:
                    return r
            return None
        r = wait_for(request, WAIT, f"nginx to log a request for {path}")
        assert r["request"] == f"HEAD {path} HTTP/1.0", f"request line {r['request']!r}"
        assert r["host"] == "127.0.0.1", f"Host header {r['host']!r}"
        assert USER_AGENT.match(r["agent"]), f"user agent {r['agent']!r}"
        line = self.wait_log(r"\[[^\]]+\] Connection to \[" + re.escape(address) +
                             rf"\] \(port {self.nginx.port}\) completed in \d+\.\d{{3}} "
                             r"seconds\.\r\n")
        assert line
        return address

    def ping_ctrl_p(self):
        self._check_ping("/e2e-ctrl-p", "ctrl+p")
        text = self.read_log_file()
        assert "\n" not in text.replace("\r\n", ""), "the log file has a line break without CR"
        assert "Session started at [" in text, "the log file lacks the start banner"

    def ping_enter(self):
        address = self._check_ping("/e2e-enter", "Return")
        # A successful ping is shown as a notification too ("Show notifications" on).
        if self.shots:
            wait_for(lambda: self.desktop.dunst_count("displayed"), WAIT,
                     "a notification on show")
            self.shot("notification")
        n = self.wait_notification("Ping OK", f"Connection to [{address}] completed.")
        assert "Response: HTTP/1.1 200 OK" in n["body"], f"notification body {n['body']!r}"

    def refused_port(self):
        address = "https://127.0.0.1/e2e-refused"
        port = self.closed.port
        self.set_address(address, "Return")
        error = (r"\[[^\]]+\] Error connecting to \[127\.0\.0\.1\] "
                 rf"\(port {port}\): Connection refused \(10061\)\.\r\n")
        self.wait_log(error, count=3, timeout=WAIT + 5)
        # The notification, as the daemon got it.
        n = self.wait_notification("Connection error", f"Connection to [{address}] failed.")
        assert re.search(r"failed\.[\r\n]+Error: Connection refused", n["body"]), \
            f"notification body {n['body']!r}"
        # The e-mail.
        self.wait_log(r"Sending email to failure notification address \[" + re.escape(MAIL_TO) +
                      r"\]\.\.\.")
        self.wait_log(r"Notification email sent sucessfully\.")
        mails = wait_for(self.smtp.messages, WAIT, "an e-mail at the SMTP server")
        assert len(mails) == 1, f"{len(mails)} e-mails instead of one"
        mail = mails[0]
        assert mail["Subject"] == MAIL_SUBJECT, f"subject {mail['Subject']!r}"
        assert MAIL_TO in mail["To"], f"To {mail['To']!r}"
        assert MAIL_FROM in mail["From"], f"From {mail['From']!r}"
        assert mail.envelope[1] == [MAIL_TO], f"recipients {mail.envelope[1]!r}"
        assert any(m == "LOGIN" and u == SMTP_USER and ok for m, u, ok in self.smtp.logins), \
            f"log-ons {self.smtp.logins!r}"
        body = mail.get_content()
        computer = socket.gethostname()
        expected = f"This is an automatic notification from Vennatro at {computer}."
        assert body.startswith(expected), f"body {body!r}"
        assert re.search(r"Error connecting to \[127\.0\.0\.1\] "
                         rf"\(port {port}\): Connection refused \(10061\)\.", body), \
            f"body {body!r}"
        # The error ping, at its second address.
        self.wait_log(r"Starting ping to failure notification address "
                      r"\[http://localhost/e2e-errorping\]\.\.\.")

        def error_ping():
            return [r for r in self.nginx.requests() if r["path"] == "/e2e-errorping"]
        reqs = wait_for(error_ping, WAIT, "the error ping at nginx")
        assert reqs[0]["host"] == "localhost", f"error ping Host {reqs[0]['host']!r}"
        assert USER_AGENT.match(reqs[0]["agent"]), f"user agent {reqs[0]['agent']!r}"
        self.wait_log(r"Connection to \[http://localhost/e2e-errorping\] "
                      rf"\(port {self.nginx.port}\) completed")
        errors = re.findall(error, self.read_log_file())
        assert len(errors) == 3, f"{len(errors)} error lines instead of three"
        if self.shots:
            run(["dunstctl", "close-all"], self.desktop.env)
            wait_for(lambda: not self.desktop.dunst_count("displayed"), WAIT,
                     "the notifications to close")
            self.shot("main", window=self.program.wait_main_window())

    def tray_menu(self):
        p = self.program
        if self.desktop.tray == "sni":
            # The panel draws the menu the item exports over D-Bus; without one it shows its
            # own menu on a right click.
            menu = p.sni_menu_path()
            assert menu and menu != "/NO_DBUSMENU", (
                f"the StatusNotifierItem exports no menu (Menu = {menu!r}), so a right click "
                "on the icon shows the panel's menu instead of the tray menu")
            labels = p.sni_menu_labels(menu)
            for want in ("Show", "Ping now", "About", "Exit", "Snooze alerts", "Resume alerts"):
                assert want in labels, f"tray menu lacks {want!r}: {labels}"
        before = set(_visible_popups(self.desktop))
        x, y = p.tray_icon_position()
        p.click(x, y, button=3)
        menus = wait_for(lambda: set(_visible_popups(self.desktop)) - before, WAIT,
                         "a popup menu after a right click on the tray icon")
        self.shot("traymenu")
        run(["xdotool", "key", "Escape"], self.desktop.env)
        wait_for(lambda: not (set(_visible_popups(self.desktop)) & menus), WAIT,
                 "the tray menu to close on Esc")

    def options_dialog(self):
        p = self.program
        w = p.wait_main_window()
        p.key(w, "ctrl+o")
        dialog = p.wait_dialog(r"^Options$", WAIT)
        self.shot("options", window=dialog["id"])
        p.key(dialog["id"], "Escape")
        wait_for(lambda: not p.dialogs(), WAIT, "the options dialog to close on Esc")

    def always_on_top(self):
        p = self.program
        w = p.wait_main_window()
        before = p.geometry(w)

        def above():
            out = run(["xprop", "-id", str(w), "_NET_WM_STATE"], p.env).stdout
            return "_NET_WM_STATE_ABOVE" in out
        for on in (True, False):
            p.key(w, "ctrl+a")
            wait_for(lambda: above() == on, WAIT, f"_NET_WM_STATE_ABOVE {'set' if on else 'gone'}")
            assert p.main_window() == w, "the window was made anew"
            assert p.geometry(w) == before, f"the window moved: {before} -> {p.geometry(w)}"

    def close_hides(self):
        p = self.program
        w = p.wait_main_window()
        p.close_window(w)
        wait_for(lambda: p.main_window() is None, WAIT, "the window to hide on close")
        p.assert_running(" after the close button")
        assert p.tray_docked(), "the tray icon went away with the window"

    def sni_single_click(self):
        p = self.program
        if self.desktop.tray != "sni":
            raise Skip("an XEmbed host keeps the double click (a unit test covers it)")
        assert p.main_window() is None, "the window was not hidden before the click"
        x, y = p.tray_icon_position()
        # Away first: the pointer may still rest on the icon from the menu's right click, and
        # a move to where it already is never ends xdotool's --sync.
        run(["xdotool", "mousemove", str(max(0, x - 200)), str(y + 200)], p.env, timeout=15)
        p.click(x, y, button=1)
        w = wait_for(p.main_window, WAIT, "the window after a single click on the icon")
        # Hidden again the usual way, as the next step expects.
        p.close_window(w)
        wait_for(lambda: p.main_window() is None, WAIT, "the window to hide on close")

    def second_start(self):
        p = self.program
        assert p.main_window() is None, "the window was not hidden before the second start"
        second = Program(self.args.program, self.desktop, name="vennatro-second")
        started = time.monotonic()
        second.start()
        try:
            rc = second.wait_exit(10)
        finally:
            second.kill()
        took = time.monotonic() - started
        assert rc == 0, f"the second start ended with status {rc}: {second.output()}"
        assert took <= 1.0, f"the second start took {took:.2f} s to end"
        w = p.wait_main_window(WAIT)
        wait_for(lambda: run(["xdotool", "getactivewindow"], self.desktop.env).stdout.strip()
                 == str(w), WAIT, "the window to become the active one")
        p.assert_running(" after the second start")
        return f"the second start ended after {took:.2f} s"

    def alt_x_saves(self):
        self.exit_with_alt_x()
        saved = store.read_store(self.config_home)
        missing = [n for n in store.ALL_VALUES if n not in saved]
        assert not missing, f"values missing from the store: {missing}"
        wrong = [n for n in store.DWORD_VALUES if saved[n][0] != "dword"]
        wrong += [n for n in store.STRING_VALUES if saved[n][0] != "string"]
        assert not wrong, f"values of the wrong kind: {wrong}"
        expect = {
            "HTTP port": self.nginx.port, "HTTPS port": self.closed.port, "Ping attempts": 3,
            "Save log": 1, "Send email on error": 1, "Ping on error": 1,
            "SMTP port": self.smtp.port, "Start with Windows": 1, "Show log": 1,
            "Log file": self.log_path, "SMTP server": "127.0.0.1", "SMTP user": SMTP_USER,
            "SMTP password": scramble(SMTP_PASSWORD), "Error email address": MAIL_TO,
            "From address": MAIL_FROM, "Error ping address": "http://localhost/e2e-errorping",
        }
        diff = {k: (v, saved[k][1]) for k, v in expect.items() if saved[k][1] != v}
        assert not diff, f"stored values changed (expected, stored): {diff}"
        recent = saved["Recent URLs"][1]
        want = ("http://localhost/e2e-errorping\r\nhttps://127.0.0.1/e2e-refused\r\n"
                "http://127.0.0.1/e2e-enter\r\nhttp://127.0.0.1/e2e-ctrl-p\r\n")
        assert recent == want, f"Recent URLs {recent!r}"
        mode = store.file_mode(self.config_home)
        assert mode == 0o600, f"store file mode {mode:o}"

    def autostart_entry(self):
        path = os.path.join(self.config_home, "autostart", "Vennatro.desktop")
        assert os.path.isfile(path), f"no autostart entry at {path}"
        with open(path) as f:
            text = f.read()
        execs = [line for line in text.splitlines() if line.startswith("Exec=")]
        program = self.args.program
        if any(c in program for c in " \t\"'\\><~|&;$*?#`()"):
            # A path with blanks and the like stands in quotes (desktop-entry rules).
            assert len(execs) == 1 and execs[0].startswith('Exec="') and \
                execs[0].endswith('" -quiet'), f"Exec lines {execs!r}"
        else:
            plain = program.replace("%", "%%")
            assert execs == [f"Exec={plain} -quiet"], f"Exec lines {execs!r}"
        assert "[Desktop Entry]" in text and "Type=Application" in text, text

    def quiet_start(self):
        p = self.program
        saved = store.read_store(self.config_home)
        values = {k: v for k, (_, v) in saved.items()}
        values["Start with Windows"] = 0
        store.write_store(self.config_home, values)
        p.start("-QUIET")
        p.wait_tray_docked(WAIT)
        # The window would be mapped before the icon docks; give it a moment more all the same.
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            assert p.main_window() is None, "-quiet showed the window"
            time.sleep(0.1)
        # A second start brings the hidden window of a quiet start up.
        second = Program(self.args.program, self.desktop, name="vennatro-second")
        second.start()
        try:
            rc = second.wait_exit(10)
        finally:
            second.kill()
        assert rc == 0, f"the second start ended with status {rc}"
        p.wait_main_window(WAIT)
        self.exit_with_alt_x()

    def autostart_removed(self):
        path = os.path.join(self.config_home, "autostart", "Vennatro.desktop")
        assert not os.path.exists(path), f"the autostart entry {path} is still there"
        saved = store.read_store(self.config_home)
        assert saved["Start with Windows"] == ("dword", 0), saved["Start with Windows"]


class _Closer:
    def __init__(self, thing):
        self.thing = thing

    def stop(self):
        self.thing.close()


def _visible_popups(desktop):
    """Visible override-redirect windows (menus), whoever draws them, notifications aside."""
    out = []
    for wid in desktop.x.mapped_top_levels():
        if not desktop.x.override_redirect(wid):
            continue
        cls = run(["xprop", "-id", str(wid), "WM_CLASS"], desktop.env).stdout
        if "Dunst" in cls or "dunst" in cls:
            continue
        out.append(wid)
    return out


# ---------------------------------------------------------------------------------------------
# Bad input, tried on purpose


class BadInputScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"bad input, tray host {args.tray}"
        self.web = None
        self.dropper = None
        self.smtp = None
        self.closed = None

    def setup(self):
        super().setup()
        self.web = AwkwardHttpServer().start()
        self.servers.append(self.web)
        self.dropper = DroppingSmtpServer().start()
        self.servers.append(self.dropper)
        self.closed = ClosedPort()
        self.servers.append(_Closer(self.closed))

    def steps(self):
        return [
            ("values of the wrong kind and a 1 MB value load silently", self.wrong_kinds),
            ("70 KB of headers: completion logged, program keeps running", self.big_headers),
            ("NUL bytes in the answer: completion logged", self.nul_bytes),
            ("a server that never answers: the ping can be cancelled", self.silent_server),
            ("SMTP server hangs up mid-message: one clear log line", self.smtp_drop),
            ("after all that Alt+X saves every value, the 1 MB one intact", self.saved_intact),
            ("a truncated store line: error box, file kept as Vennatro.reg.bad",
             self.truncated_line),
            ("a log file path that is a folder: reported, pings go on", self.log_is_folder),
            ("a log file on a full disk: reported, earlier entries kept", self.log_disk_full),
        ]

    # -- run 1: wrong kinds, a 1 MB value, awkward servers --------------------------------

    OLD_LOG = "Old entry that must survive.\r\n"

    def wrong_kinds(self):
        self.big = "http://127.0.0.1/" + "a" * (1 << 20)
        os.makedirs(os.path.dirname(self.log_path), exist_ok=True)
        with open(self.log_path, "wb") as f:
            f.write(self.OLD_LOG.encode())
        values = {
            "HTTP port": self.web.port, "HTTPS port": self.closed.port,
            "Save log": 1, "Log file": self.log_path, "Log HTTP headers": 1,
            "Send email on error": 1, "Error email address": MAIL_TO, "From address": MAIL_FROM,
            "SMTP server": "127.0.0.1", "SMTP port": self.dropper.port, "SMTP user": SMTP_USER,
            "SMTP password": scramble(SMTP_PASSWORD),
            "Auto-ping address": self.big,
        }
        raw = ['"Ping attempts"="x"', '"Auto-ping interval"="15 minutes"',
               '"Always on top"="1"', '"Show log"=expand:"no"']
        store.write_store(self.config_home, values, raw)
        p = self.program
        p.start()

        def window_or_dialog():
            p.assert_running(" at start")
            return p.dialogs() or p.main_window()
        found = wait_for(window_or_dialog, 30, "the main window (or a dialog)")
        assert not isinstance(found, list), \
            f"a dialog appeared at start: {[d['name'] for d in found]}"
        assert not p.dialogs(), "a dialog appeared at start"
        self.wait_log(r"Session started at \[")
        assert self.read_log_file().startswith(self.OLD_LOG), "the old log entry is gone"

    def big_headers(self):
        self.set_address("http://127.0.0.1/big", "Return")
        self.wait_log(r"Connection to \[http://127\.0\.0\.1/big\] "
                      rf"\(port {self.web.port}\) completed in")
        self.wait_log(r"X-Filler-00000: f+")
        self.program.assert_running()

    def nul_bytes(self):
        self.set_address("http://127.0.0.1/nul", "Return")
        self.wait_log(r"Connection to \[http://127\.0\.0\.1/nul\] "
                      rf"\(port {self.web.port}\) completed in")
        self.wait_log(r"X-Nul: a")
        assert "\x00" not in self.read_log_file(), "a NUL byte reached the log file"
        self.program.assert_running()

    def silent_server(self):
        p = self.program
        self.set_address("http://127.0.0.1/silent", "Return")
        wait_for(lambda: "/silent" in self.web.paths(), WAIT, "the request at the silent server")
        w = p.wait_main_window()
        p.key(w, "Escape")
        self.wait_log(r"Ping to \[http://127\.0\.0\.1/silent\] aborted\.")
        p.assert_running()

    def smtp_drop(self):
        self.set_address("https://127.0.0.1/e2e-drop", "Return")
        wait_for(self.dropper.dropped.is_set, WAIT + 5, "the SMTP server to hang up")
        lines = self.wait_log(r"Error sending notification email: [^\r\n]+\r\n")
        assert len(lines) == 1, lines
        self.program.assert_running()
        assert "sucessfully" not in self.read_log_file(), "a dropped e-mail was logged as sent"

    def saved_intact(self):
        self.exit_with_alt_x()
        saved = store.read_store(self.config_home)
        assert saved["Ping attempts"] == ("dword", 3), saved["Ping attempts"]
        assert saved["Auto-ping interval"] == ("dword", 15), saved["Auto-ping interval"]
        assert saved["Always on top"] == ("dword", 0), saved["Always on top"]
        assert saved["Show log"] == ("dword", 1), saved["Show log"]
        assert saved["Auto-ping address"] == ("string", self.big), \
            f"the 1 MB value came back as {len(saved['Auto-ping address'][1])} characters"
        assert saved["HTTP port"] == ("dword", self.web.port), saved["HTTP port"]
        text = self.read_log_file()
        assert text.startswith(self.OLD_LOG), "the old log entry is gone"
        for part in ("/big]", "/nul]", "/silent] aborted", "Error sending notification email"):
            assert part in text, f"the log file lost the entry with {part!r}"

    # -- run 2: a truncated store line ---------------------------------------------------

    def truncated_line(self):
        p = self.program
        good = {"HTTP port": self.web.port, "Ping attempts": 2}
        data = store.write_store(self.config_home, good,
                                 ['"Log file"="/tmp/unterminated', '"SMTP port"=dword:00000019'])
        bad_path = store.store_path(self.config_home) + ".bad"
        p.start()
        dialog = p.wait_dialog(r"^Error$", 30)
        with open(bad_path, "rb") as f:
            assert f.read() == data, "Vennatro.reg.bad does not hold the file as it was"
        p.key(dialog["id"], "Return")
        p.wait_main_window(WAIT)
        p.assert_running(" after the store error")
        self.exit_with_alt_x()
        with open(bad_path, "rb") as f:
            assert f.read() == data, "Vennatro.reg.bad changed at exit"
        saved = store.read_store(self.config_home)
        missing = [n for n in store.ALL_VALUES if n not in saved]
        assert not missing, f"the rewritten store lacks {missing}"

    # -- run 3: a log path that is a folder ----------------------------------------------

    def log_is_folder(self):
        p = self.program
        folder = os.path.join(self.root, "log-is-a-folder")
        os.makedirs(folder)
        store.write_store(self.config_home, {"HTTP port": self.web.port, "Save log": 1,
                                             "Log file": folder, "Ping attempts": 1})
        p.start()
        # The window is not on show yet when the log file fails at start, so the message
        # goes to the tray: a notification. Should a message box come first, answer it.

        def reported():
            p.assert_running(" after the log-file error")
            for d in p.dialogs():
                p.key(d["id"], "Return")
                return "box"
            for n in self.desktop.dunst_history():
                if folder in (n.get("body") or ""):
                    return "notification"
            if self.desktop.dunst_count("displayed"):
                run(["dunstctl", "close-all"], self.desktop.env)
            return None
        how = wait_for(reported, WAIT, f"a message naming {folder}")
        w = p.wait_main_window(WAIT)
        before = len(self.web.paths())
        self.set_address("http://127.0.0.1/after-log-error", "Return")
        wait_for(lambda: len(self.web.paths()) > before, WAIT, "the ping after the log error")
        p.assert_running()
        assert p.main_window() == w
        self.exit_with_alt_x()
        assert os.path.isdir(folder), "the folder was replaced"
        return f"reported by a {how}"

    # -- run 4: a log file on a full disk ------------------------------------------------

    def log_disk_full(self):
        p = self.program
        mount = os.path.join(self.root, "small-disk")
        os.makedirs(mount)
        log = os.path.join(mount, "vennatro.log")
        old = self.root + "/old.log"
        # Two pages of old entries, less a little room for the banner; the rest is filled.
        entry = "Old entry of an earlier run, it must survive the full disk.\r\n"
        old_text = entry * (8000 // len(entry))
        with open(old, "w", newline="") as f:
            f.write(old_text)
        probe = run(["unshare", "-m", "true"], self.desktop.env)
        if probe.returncode != 0:
            raise Skip("no mount namespace here (unshare -m failed: "
                       f"{probe.stderr.strip()}); a full disk cannot be made")
        script = (f'mount -t tmpfs -o size=64k e2e-small "{mount}" && '
                  f'cp "{old}" "{log}" && (cat /dev/zero > "{mount}/filler") 2>/dev/null; '
                  f'exec "$0" "$@"')
        store.write_store(self.config_home, {"HTTP port": self.web.port, "Save log": 1,
                                             "Log file": log, "Ping attempts": 1,
                                             "Show notifications": 0})
        p.start(wrapper=["unshare", "-m", "sh", "-c", script])
        w = p.wait_main_window(30)
        inside = f"/proc/{p.pid}/root{log}"
        # Pings until the disk is full and the program says so.

        def logged_or_reported(address):
            if p.dialogs():
                return True
            with open(inside, "rb") as f:
                return f"Connection to [{address}]".encode() in f.read()
        for i in range(12):
            if p.dialogs():
                break
            address = f"http://127.0.0.1/fill-{i}"
            self.set_address(address, "Return")
            wait_for(lambda: logged_or_reported(address), WAIT,
                     f"the completion of {address} in the log file, or a message")
        dialog = p.wait_dialog(None, WAIT)
        with open(inside, "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
        assert text.startswith(old_text), "the earlier entries are gone from the log file"
        assert text.endswith("\r\n"), "the log file ends in a half-written entry"
        p.key(dialog["id"], "Return")
        wait_for(lambda: not p.dialogs(), WAIT, "the message to close")
        before = len(self.web.paths())
        self.set_address("http://127.0.0.1/after-full-disk", "Return")
        wait_for(lambda: len(self.web.paths()) > before, WAIT, "the ping after the full disk")
        p.assert_running()
        assert p.main_window() == w
        self.exit_with_alt_x()
        return f'reported in a message box titled "{dialog["name"]}"'


# ---------------------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--tray", choices=("xembed", "sni"), default="xembed")
    parser.add_argument("--suite", choices=("main", "bad-input", "metrics", "mail", "watched",
                                            "no-tray", "wayland", "badge", "network", "a11y"),
                        default="main")
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)

    warnings.filterwarnings("ignore", module="aiosmtpd")
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)

    results = Results()
    started = time.monotonic()
    if not os.access(args.program, os.X_OK):
        print(f"FAIL the program {args.program} is missing")
        results.failed += 1
    else:
        if args.suite == "metrics":
            # The suite builds on this module's Scenario: one module object, not a second copy.
            sys.modules.setdefault("test_desktop", sys.modules[__name__])
            from metrics_suite import MetricsScenario
            scenario = MetricsScenario(args)
        elif args.suite == "mail":
            sys.modules.setdefault("test_desktop", sys.modules[__name__])
            from mail_suite import MailScenario
            scenario = MailScenario(args)
        elif args.suite == "watched":
            sys.modules.setdefault("test_desktop", sys.modules[__name__])
            from watched_suite import WatchedScenario
            scenario = WatchedScenario(args)
        elif args.suite == "a11y":
            sys.modules.setdefault("test_desktop", sys.modules[__name__])
            from a11y_suite import A11yScenario
            scenario = A11yScenario(args)
        elif args.suite == "network":
            sys.modules.setdefault("test_desktop", sys.modules[__name__])
            from network_suite import NetworkScenario
            scenario = NetworkScenario(args)
        elif args.suite in ("no-tray", "wayland", "badge"):
            sys.modules.setdefault("test_desktop", sys.modules[__name__])
            from desktop_suite import BadgeScenario, NoTrayScenario, WaylandScenario
            scenario = {"no-tray": NoTrayScenario, "wayland": WaylandScenario,
                        "badge": BadgeScenario}[args.suite](args)
        else:
            scenario = MainScenario(args) if args.suite == "main" else BadInputScenario(args)
        results.run(scenario)
    print(f"({time.monotonic() - started:.1f} s)")
    line = f"{results.passed} passed, {results.failed} failed"
    if results.skipped:
        line += f", {results.skipped} skipped"
    print(line, flush=True)
    return 1 if results.failed else 0


if __name__ == "__main__":
    sys.exit(main())
