"""The "watched" suite: the watched addresses of a real window, pinged on their own every
"Watch interval", against nginx, a refused port and a real exim (exim.py).

    test_desktop.py --program build/vennatro --tray sni --suite watched

One window run: four addresses in the store's "Watched addresses" (three paths on nginx, one
refused port) with "Watch interval" 10 and e-mail alerts on. The refused one fails within the
first interval, the tray tool-tip names it, exim takes exactly one e-mail for it (its second
failure is held back), the three on nginx see their HEAD requests, twice each; Ctrl+W shows the
dock (screenshot `watched.png`), and Alt+X keeps the list in the store.

Then two more runs of a store with ten watched addresses (seven paths on nginx, three on a
refused port), no e-mail: the window maximised on the 1280 x 800 screen with the panel open,
as the last exit left it (screenshot `watched-1280x800.png`), and the same window under Qt's
own `-style Fusion -stylesheet` with a dark style sheet (screenshot `dark.png`).

The tool-tip is read where the desktop publishes it: the StatusNotifierItem's ToolTip property
on the session bus (--tray sni). An XEmbed icon's tool-tip is drawn only on hover and cannot be
read from outside, so with --tray xembed that check is reported as skipped.
"""

import hashlib
import os
import re
import subprocess
import time

import store
from desktop import run, wait_for
from exim import Exim
from program import _parse_ppm
from mail_suite import DOMAIN, MAIL_FROM, MAIL_TO, SMTP_PASSWORD, SMTP_USER, error_line
from servers import ClosedPort, Nginx
from test_desktop import USER_AGENT, WAIT, Scenario, Skip, _Closer, scramble

INTERVAL = 10  # seconds: the smallest "Watch interval" there is
FIRST_ROUND = 30  # seconds: the limit for the first round's results (a third of it is enough)
MAIL_WAIT = 40  # seconds: an e-mail's exchange is bounded by 15 s (connect) and 30 s (stall)
FAILURE_SUBJECT = "Vennatro - Ping failure notification"
PATHS = ("/e2e-watch-one", "/e2e-watch-two", "/e2e-watch-three")
TEN_UP = tuple(f"/e2e-ten/{name}" for name in
               ("status", "api/health", "login", "shop/cart", "static/app.js", "feed.xml",
                "a/rather/long/path/to/a/report/of/last-month.html"))
TEN_DOWN = ("/e2e-ten/down/billing", "/e2e-ten/down/search", "/e2e-ten/down/mail")
# A dark palette through a style sheet, as a user can give it on the command line.
DARK_QSS = """
QWidget { background-color: #2b2b2b; color: #e0e0e0; }
QLineEdit, QComboBox, QPlainTextEdit, QAbstractItemView, QHeaderView::section {
    background-color: #1e1e1e; color: #e0e0e0; }
QMenuBar::item:selected, QMenu::item:selected, QAbstractItemView::item:selected {
    background-color: #3d5a80; }
"""


class WatchedScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"watched addresses, tray host {args.tray}"
        self.nginx = None
        self.exim = None
        self.refused = None
        self.addresses = []
        self.down = None
        self.t0 = None

    def setup(self):
        super().setup()
        self.nginx = Nginx(self.root, self.desktop.log_dir)
        self.servers.append(self.nginx)
        self.nginx.start(self.desktop.env)
        self.exim = Exim(self.desktop.log_dir, "exim", SMTP_USER, SMTP_PASSWORD, DOMAIN,
                         starttls=True)
        self.servers.append(self.exim)
        self.exim.start(self.desktop.env)
        self.refused = ClosedPort()
        self.servers.append(_Closer(self.refused))
        if self.shots:
            run(["xsetroot", "-solid", "#3b5568"], self.desktop.env)

    def steps(self):
        return [
            ("four watched addresses in the store, interval 10 s: the window starts",
             self.start_window),
            ("the refused address fails within the first interval", self.refused_fails),
            ("the tray tool-tip names the address that is down", self.tool_tip),
            ("exactly one e-mail reaches exim for it; its next failure is held back",
             self.one_mail),
            ("the three addresses on nginx get HEAD requests, each again after 10 s",
             self.nginx_requests),
            ("Ctrl+W shows the dock (the window redrawn with it; screenshot watched.png)",
             self.dock_shown),
            ("Alt+X ends it; the store keeps the list and the interval", self.list_kept),
            ("ten addresses, three down, the window maximised at 1280 x 800 with the panel open "
             "(screenshot watched-1280x800.png)", self.ten_addresses),
            ("the same window in a dark Fusion style sheet (screenshot dark.png)",
             self.dark_theme),
        ]

    def context(self):
        parts = [super().context()]
        if self.exim and self.exim.root:
            parts.append(self.exim.report())
        return "\n".join(parts)

    # -- helpers -------------------------------------------------------------------------

    def count(self, pattern):
        return len(re.findall(pattern, self.read_log_file() or ""))

    def sni_tool_tip(self):
        """The title of the item's ToolTip property (Qt puts the whole tool-tip there), or
        None when the item cannot be read."""
        service, path = self.program.sni_service()
        if not service:
            return None
        text = self.desktop.get_property(service, "/" + path, "org.kde.StatusNotifierItem",
                                         "ToolTip")
        # (s icon, a(iiay) image, s title, s text): the strings in that order.
        strings = re.findall(r'string "((?:[^"\\]|\\.)*)"', text or "", re.S)
        return strings[1] if len(strings) >= 2 else None

    def window_shot(self, wid):
        """The window's pixels now, as PNG bytes."""
        path = os.path.join(self.root, "window-probe.png")
        run(["import", "-window", str(wid), path], self.desktop.env, timeout=30, check=True)
        with open(path, "rb") as f:
            return f.read()

    # -- the steps -----------------------------------------------------------------------

    def start_window(self):
        port = self.nginx.port
        self.addresses = [f"http://127.0.0.1:{port}{path}" for path in PATHS]
        self.down = f"http://127.0.0.1:{self.refused.port}/e2e-watch-refused"
        self.addresses.append(self.down)
        values = {
            "Watched addresses": "".join(a + "\r\n" for a in self.addresses),
            "Watch interval": INTERVAL,
            "Ping attempts": 1, "Ping timeout": 10, "Save log": 1, "Log file": self.log_path,
            "Show notifications": 0, "Send email on error": 1, "Error email address": MAIL_TO,
            "From address": MAIL_FROM, "SMTP server": "127.0.0.1", "SMTP port": self.exim.port,
            "SMTP user": SMTP_USER, "SMTP password": scramble(SMTP_PASSWORD),
            "SMTP security": 0, "Ping on error": 0,
        }
        store.write_store(self.config_home, values)
        self.t0 = time.monotonic()
        self.program.start(extra_env={"SSL_CERT_FILE": self.exim.cert, "SSL_CERT_DIR": ""})
        self.program.wait_main_window(30)
        self.program.wait_tray_docked(WAIT)
        self.wait_log(r"Session started at \[")

    def refused_fails(self):
        (stamp,) = self.wait_log(error_line(self.refused.port), timeout=FIRST_ROUND)
        took = time.monotonic() - self.t0
        assert took <= FIRST_ROUND, f"the first failure came after {took:.1f} s"
        return f"after {took:.1f} s ({stamp})"

    def tool_tip(self):
        if self.desktop.tray != "sni":
            raise Skip("an XEmbed icon's tool-tip is drawn only on hover and cannot be read "
                       "from outside; run with --tray sni")
        want = f"1 of 4 addresses down: {self.down}"

        def probe():
            tip = self.sni_tool_tip()
            return tip if tip and want in tip else None
        try:
            tip = wait_for(probe, WAIT, f"the tool-tip to say {want!r}")
        except AssertionError:
            raise AssertionError(f"tool-tip {self.sni_tool_tip()!r}, wanted one with {want!r}")
        lines = tip.replace("\\n", "\n").splitlines()
        assert lines[0] == "Vennatro", f"tool-tip {tip!r}"
        assert lines[-1] == want, f"tool-tip {tip!r}"
        return f"tool-tip {tip!r}"

    def one_mail(self):
        def delivered():
            found = self.exim.messages()
            assert len(found) <= 1, f"{len(found)} messages delivered, wanted one"
            return found
        (msg,) = wait_for(delivered, MAIL_WAIT, "the failure e-mail in exim's maildir")
        assert str(msg["Subject"]) == FAILURE_SUBJECT, f"subject {msg['Subject']!r}"
        body = msg.raw.split(b"\n\n", 1)[1].decode("utf-8")
        assert re.search(rf"Error connecting to \[127\.0\.0\.1\] \(port {self.refused.port}\): "
                         r"Connection refused \(10061\)\.", body), f"body {body!r}"
        received = self.exim.received()
        assert len(received) == 1, received
        assert f" A=login:{SMTP_USER} " in received[0], f"no LOGIN log-on: {received[0]}"
        # One interval later the address fails again: the alert of this outage went out.
        self.wait_log(r"Alert for \[" + re.escape(self.down) +
                      r"\] already sent at [^\r\n;]+; not repeated\.\r\n",
                      timeout=INTERVAL + WAIT)
        assert self.count(error_line(self.refused.port)) >= 2
        assert self.count(r"Sending email to failure notification address") == 1, \
            "a second e-mail was started"
        assert len(self.exim.received()) == 1, self.exim.received()
        assert len(self.exim.messages()) == 1, f"{len(self.exim.messages())} messages"
        return f"{self.count(error_line(self.refused.port))} failures, one e-mail"

    def nginx_requests(self):
        def seen(times):
            reqs = self.nginx.requests()
            return all(len([r for r in reqs if r["path"] == p]) >= times for p in PATHS)
        wait_for(lambda: seen(1), FIRST_ROUND, "a request for each watched path at nginx")
        wait_for(lambda: seen(2), INTERVAL + WAIT, "a second request for each watched path")
        took = time.monotonic() - self.t0
        for r in self.nginx.requests():
            if r["path"] not in PATHS:
                continue
            assert r["request"] == f"HEAD {r['path']} HTTP/1.0", f"request {r['request']!r}"
            assert r["host"] == f"127.0.0.1:{self.nginx.port}", f"Host {r['host']!r}"
            assert USER_AGENT.match(r["agent"]), f"user agent {r['agent']!r}"
        for address in self.addresses[:3]:
            assert self.count(r"Connection to \[" + re.escape(address) +
                              rf"\] \(port {self.nginx.port}\) completed in") >= 2, address
        counts = [len([r for r in self.nginx.requests() if r["path"] == p]) for p in PATHS]
        return f"requests a path after {took:.1f} s: {counts}"

    def dock_shown(self):
        p = self.program
        w = p.wait_main_window()
        # Room for the rows: the window as a user would pull it up to read them.
        run(["xdotool", "windowsize", "--sync", str(w), "900", "640"], self.desktop.env,
            timeout=15)
        wait_for(lambda: p.geometry(w)[2:] == (900, 640), WAIT, "the window at 900 x 640")
        before = hashlib.sha256(self.window_shot(w)).hexdigest()
        p.key(w, "ctrl+w")

        def changed():
            # The dock is part of the window: it shows as new pixels.
            return hashlib.sha256(self.window_shot(w)).hexdigest() != before
        wait_for(changed, WAIT, "the window to show the dock", interval=0.3)
        # Settled once the next entry is logged: the countdown column ticks every second, so
        # the pixels are never still for long.
        n = self.count(r"\r\n\[[^\]]+\] ")
        self.wait_log(r"\r\n\[[^\]]+\] ", count=n + 1, timeout=INTERVAL + WAIT)
        # The rows' results are in: every address has been pinged at least twice.
        self.shot("watched", window=w)
        p.assert_running(" after Ctrl+W")

    def list_kept(self):
        self.exit_with_alt_x()
        saved = store.read_store(self.config_home)
        want = "".join(a + "\r\n" for a in self.addresses)
        assert saved.get("Watched addresses") == ("string", want), \
            f"Watched addresses {saved.get('Watched addresses')!r}"
        assert saved.get("Watch interval") == ("dword", INTERVAL), \
            f"Watch interval {saved.get('Watch interval')!r}"

    # -- ten addresses ---------------------------------------------------------------------

    def ten_store(self):
        port = self.nginx.port
        self.ten = [f"http://127.0.0.1:{port}{path}" for path in TEN_UP]
        self.ten += [f"http://127.0.0.1:{self.refused.port}{path}" for path in TEN_DOWN]
        # Mixed, as a list grows by hand: the down ones among the others.
        order = [0, 7, 1, 2, 8, 3, 4, 5, 9, 6]
        store.write_store(self.config_home, {
            "Watched addresses": "".join(self.ten[i] + "\r\n" for i in order),
            "Watch interval": INTERVAL, "Ping attempts": 1, "Ping timeout": 10,
            "Save log": 1, "Log file": self.log_path, "Show notifications": 0,
            "Send email on error": 0, "Ping on error": 0, "Maximized": 1,
            "Watch panel shown": 1, "Watch panel height": 400,
        })

    def ten_pinged(self, since):
        """Waits until every one of the ten has a result in this run's part of the log."""
        def done():
            text = (self.read_log_file() or "")[since:]
            up = all(re.search(r"Connection to \[" + re.escape(a) + r"\] \(port \d+\) "
                               r"completed in", text) for a in self.ten[:7])
            down = len(re.findall(error_line(self.refused.port), text)) >= 3
            return up and down
        wait_for(done, FIRST_ROUND, "a result for each of the ten addresses")

    def ten_addresses(self):
        self.ten_store()
        since = len(self.read_log_file() or "")
        self.program.start()
        w = self.program.wait_main_window(30)
        self.ten_pinged(since)
        x, y, width, height = self.program.geometry(w)
        # Maximised on the 1280 x 800 screen (less what the panel keeps).
        assert width >= 1200 and height >= 700, f"window {width} x {height}"
        self.shot("watched-1280x800", window=w)
        self.program.assert_running(" with ten watched addresses")
        self.exit_with_alt_x()
        saved = store.read_store(self.config_home)
        assert saved.get("Watch panel shown") == ("dword", 1), saved.get("Watch panel shown")
        return f"window {width} x {height}"

    def dark_theme(self):
        qss = os.path.join(self.root, "dark.qss")
        with open(qss, "w") as f:
            f.write(DARK_QSS)
        since = len(self.read_log_file() or "")
        self.program.start("-style", "Fusion", "-stylesheet", qss)
        w = self.program.wait_main_window(30)
        self.program.activate(w)
        self.ten_pinged(since)

        def pane_drawn():
            # The log pane's text is drawn (light pixels below the address row): under a style
            # sheet the window's background covers the pane while the log's flood throttle
            # holds its drawing (half of each busy second). The picture kept is the one checked.
            out = subprocess.run(["import", "-frame", "-window", str(w), "-depth", "8", "ppm:-"],
                                 env=self.desktop.env, capture_output=True, timeout=30,
                                 stdin=subprocess.DEVNULL)
            if out.returncode != 0:
                return None
            width, height, pixels = _parse_ppm(out.stdout)
            row = width * 3
            band = pixels[row * 160:row * 320]
            light = sum(1 for i in range(0, len(band), 3) if band[i] > 160)
            return (width, height, pixels, out.stdout) if light > 200 else None
        width, height, pixels, ppm = wait_for(pane_drawn, WAIT, "the log pane drawn",
                                              interval=0.2)
        if self.shots:
            os.makedirs(self.shots, exist_ok=True)
            path = os.path.join(self.shots, "dark.png")
            subprocess.run(["convert", "ppm:-", path], input=ppm, env=self.desktop.env,
                           timeout=30, check=True)
            print(f"     screenshot {path}", flush=True)
        # The style sheet took: most of the window is dark.
        mean = sum(pixels) / len(pixels)
        assert mean < 100, f"mean brightness {mean:.0f} of 255: the window is not dark"
        self.program.assert_running(" in a dark style sheet")
        self.exit_with_alt_x()
        return f"{width} x {height}, mean brightness {mean:.0f} of 255"

