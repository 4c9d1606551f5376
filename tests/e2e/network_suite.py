"""The "network" suite: this computer's own network fails, not the site (root).

    test_desktop.py --program build/vennatro --tray xembed --suite network

Two network namespaces made by the suite, joined by a veth pair: "site" holds nginx on an
address behind its end of the pair (10.219.1.1), "host" holds everything else: the desktop,
the window, the SMTP server on the program's loopback, the command line. The host's default
route goes through the pair. The suite then takes the host's link down, and later removes the
default route while the link stays up: the watched addresses end "not checked", one "Network
connection lost" notification comes, no e-mail, the metrics say vennatro_network_up 0 and keep
probe_success; when the network is back, "Network connection back" and one fresh ping of each
address. A site that really fails while the network works is failed and alerted as ever.
"""

import ctypes
import os
import re
import sqlite3
import subprocess
import time
import urllib.request

import store
from commandline import CommandLine
from desktop import PROCESSES, free_port, wait_for
from servers import Nginx, SmtpServer
from test_desktop import (MAIL_FROM, MAIL_TO, SMTP_PASSWORD, SMTP_USER, WAIT, Scenario, Skip,
                          scramble)

INTERVAL = 10  # seconds: the smallest "Watch interval"
LINK_NET = "10.219.0"  # the veth pair's network
SITE = "10.219.1.1"  # the site's address, reached through the host's default route
PORT = 8080
PATHS = ("/e2e-net-one", "/e2e-net-two")
CLONE_NEWNET = 0x40000000


def ip(*args, check=True):
    done = subprocess.run(["ip"] + list(args), capture_output=True, text=True, timeout=10)
    if check and done.returncode != 0:
        raise AssertionError(f"ip {' '.join(args)}: {done.stderr.strip()}")
    return done


def enter_namespace(name):
    """Moves this process (still one thread) into the network namespace name: whatever it
    starts or opens from now on lives there."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(f"/run/netns/{name}", os.O_RDONLY)
    try:
        if libc.setns(fd, CLONE_NEWNET) != 0:
            raise AssertionError(f"setns: {os.strerror(ctypes.get_errno())}")
    finally:
        os.close(fd)


class SiteNginx(Nginx):
    """nginx run in the site's namespace on SITE:PORT."""

    def __init__(self, root, log_dir, netns):
        super().__init__(root, log_dir, hosts=(SITE,), name="nginx-site", fixed_ports=[PORT])
        self.netns = netns

    def start(self, env):
        os.makedirs(os.path.join(self.root, "tmp"), exist_ok=True)
        self.ports, self.port = [PORT], PORT
        conf = os.path.join(self.root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(self._config())
        self.proc = PROCESSES.start(self.name, ["ip", "netns", "exec", self.netns, "nginx",
                                                "-p", self.root, "-e", self.error_log, "-c",
                                                conf], env, self.log_dir)
        wait_for(self._answers, 15, "nginx in the site's namespace to answer")


def metrics(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as r:
        return r.read().decode()


def sample(text, name, target=None, outcome=None):
    labels = ""
    if target:
        labels = f'{{target="{target}"' + (f',outcome="{outcome}"' if outcome else "") + "}"
    m = re.search(rf"^{re.escape(name + labels)} (\S+)$", text, re.M)
    return m.group(1) if m else None


class NetworkScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = "this computer's network fails, not the site"
        tag = str(os.getpid())
        self.site_ns, self.host_ns = f"vn-site-{tag}", f"vn-host-{tag}"
        self.link = f"vnh{tag}"
        self.made = []
        self.nginx = None
        self.smtp = None
        self.addresses = [f"http://{SITE}:{PORT}{p}" for p in PATHS]
        self.metrics_port = None
        self.lost_seen = 0

    # -- the namespaces --------------------------------------------------------------------

    def setup(self):
        if os.geteuid() != 0:
            raise Skip("network namespaces need root")
        s, h, peer = self.site_ns, self.host_ns, f"vns{os.getpid()}"
        ip("netns", "add", s)
        self.made.append(s)
        ip("netns", "add", h)
        self.made.append(h)
        ip("link", "add", self.link, "type", "veth", "peer", "name", peer)
        ip("link", "set", peer, "netns", s)
        ip("link", "set", self.link, "netns", h)
        ip("-n", s, "addr", "add", f"{LINK_NET}.1/24", "dev", peer)
        ip("-n", s, "addr", "add", f"{SITE}/32", "dev", "lo")
        for ns, dev in ((s, peer), (s, "lo"), (h, self.link), (h, "lo")):
            ip("-n", ns, "link", "set", dev, "up")
        ip("-n", h, "addr", "add", f"{LINK_NET}.2/24", "dev", self.link)
        ip("-n", h, "route", "add", "default", "via", f"{LINK_NET}.1")
        # Before any thread or server starts: the desktop, the SMTP server and the program all
        # live in the host's namespace, with a loopback of their own.
        enter_namespace(h)
        super().setup()
        self.nginx = SiteNginx(self.root, self.desktop.log_dir, s)
        self.servers.append(self.nginx)
        self.nginx.start(self.desktop.env)
        self.smtp = SmtpServer(self.root, SMTP_USER, SMTP_PASSWORD)
        self.smtp.start()
        self.servers.append(self.smtp)

    def teardown(self):
        super().teardown()
        for ns in reversed(self.made):
            ip("netns", "del", ns, check=False)

    def steps(self):
        return [
            ("two addresses behind the host's default route, watched every 10 s: completed",
             self.start_window),
            ("link down: not checked, one \"Network connection lost\", no e-mail, "
             "vennatro_network_up 0", lambda: self.outage("link")),
            ("link up: \"Network connection back\", one fresh ping of each address",
             lambda: self.back("link")),
            ("default route removed, link up: not checked, the same notice, no e-mail",
             lambda: self.outage("route")),
            ("route back: \"Network connection back\", one fresh ping of each address",
             lambda: self.back("route")),
            ("the command line without a network: the not-checked line, status 3",
             self.command_line),
            ("the site stops while the network works: failed and alerted as ever",
             self.site_fails),
            ("the history holds the not-checked pings with their outcome", self.history),
        ]

    def context(self):
        parts = [super().context()]
        try:
            parts.append("--- host routes: " + ip("route", check=False).stdout)
            parts.append("--- metrics:\n" + metrics(self.metrics_port))
        except Exception:
            pass
        return "\n".join(parts)

    # -- helpers ---------------------------------------------------------------------------

    def count(self, pattern):
        return len(re.findall(pattern, self.read_log_file() or ""))

    def requests(self, path):
        return len([r for r in self.nginx.requests() if r["path"] == path])

    def not_checked(self, address):
        return (r"Connection to \[" + re.escape(address) +
                r"\] not checked: this computer has no network connection\.\r\n")

    def no_failure(self):
        text = metrics(self.metrics_port)
        for address in self.addresses:
            assert sample(text, "vennatro_pings_total", address, "failed") == "0", \
                f"a failed ping of {address}:\n{text}"
        assert not self.smtp.messages(), f"{len(self.smtp.messages())} e-mails sent"
        assert not self.notifications("Connection error"), "a failure notification"
        return text

    # -- the steps -------------------------------------------------------------------------

    def start_window(self):
        self.metrics_port = free_port()
        store.write_store(self.config_home, {
            "Watched addresses": "".join(a + "\r\n" for a in self.addresses),
            "Watch interval": INTERVAL, "Ping attempts": 1, "Ping timeout": 5,
            "Save log": 1, "Log file": self.log_path, "Show notifications": 1,
            "Show only error notifications": 0, "Send email on error": 1,
            "Error email address": MAIL_TO, "From address": MAIL_FROM,
            "SMTP server": "127.0.0.1", "SMTP port": self.smtp.port, "SMTP user": SMTP_USER,
            "SMTP password": scramble(SMTP_PASSWORD), "Ping on error": 0,
            "Metrics port": self.metrics_port,
        })
        self.program.start()
        self.program.wait_main_window(30)
        for address in self.addresses:
            self.wait_log(r"Connection to \[" + re.escape(address) + rf"\] \(port {PORT}\) "
                          r"completed in", timeout=INTERVAL + WAIT)
        text = metrics(self.metrics_port)
        assert sample(text, "vennatro_network_up") == "1", text
        for address in self.addresses:
            assert sample(text, "probe_success", address) == "1", text

    def outage(self, how):
        before = [self.count(self.not_checked(a)) for a in self.addresses]
        if how == "link":
            ip("link", "set", self.link, "down")
        else:
            ip("route", "del", "default")
        for address, n in zip(self.addresses, before):
            self.wait_log(self.not_checked(address), timeout=INTERVAL + WAIT, count=n + 1)
        self.lost_seen += 1
        self.wait_notification("Network connection lost", "could not be checked")
        wait_for(lambda: sample(metrics(self.metrics_port), "vennatro_network_up") == "0",
                 WAIT, "vennatro_network_up 0")
        # A second round of the interval: still no alert of any kind, one notice only.
        for address in self.addresses:
            n = self.count(self.not_checked(address))
            self.wait_log(self.not_checked(address), timeout=INTERVAL + WAIT, count=n + 1)
        text = self.no_failure()
        for address in self.addresses:
            assert sample(text, "probe_success", address) == "1", text
            assert int(sample(text, "vennatro_pings_total", address, "not_checked")) >= 2, text
        lost = self.notifications("Network connection lost")
        assert len(lost) == self.lost_seen, f"{len(lost)} notices: {lost}"
        assert self.count(r"Network connection lost: \d+ address") == self.lost_seen
        # The attempt's own error line stays as it was.
        assert self.count(rf"Error connecting to \[{re.escape(SITE)}\] \(port {PORT}\): "
                          r"Network is unreachable \(10051\)\.") >= 2
        return f"{lost[-1].get('body')!r}"

    def back(self, how):
        if how == "link":
            ip("link", "set", self.link, "up")
        ip("route", "add", "default", "via", f"{LINK_NET}.1")
        t0 = time.monotonic()
        before = [self.requests(p) for p in PATHS]
        self.wait_log(r"Network connection back after [^;\r\n]+; every address is pinged "
                      r"again\.", count=self.lost_seen, timeout=WAIT)
        self.wait_notification("Network connection back", "Network connection back after")
        # Each address once, within the 10 s spread, not a round later.
        wait_for(lambda: all(self.requests(p) > n for p, n in zip(PATHS, before)), 10 + 5,
                 "a fresh request of each address")
        took = time.monotonic() - t0
        text = self.no_failure()
        assert sample(text, "vennatro_network_up") == "1", text
        assert all(self.requests(p) == n + 1 for p, n in zip(PATHS, before)), \
            f"{[self.requests(p) for p in PATHS]} after {before}"
        return f"every address pinged again within {took:.1f} s"

    def command_line(self):
        cli = CommandLine(self.program.path, self.desktop.env,
                          os.path.join(self.root, "cli-config"))
        ip("link", "set", self.link, "down")
        try:
            done = cli.run("--ping", self.addresses[0], "--timeout", "2")
            json = cli.run("--ping", self.addresses[1], "--timeout", "2", "--json")
        finally:
            ip("link", "set", self.link, "up")
            ip("route", "add", "default", "via", f"{LINK_NET}.1")
        assert done.status == 3, cli.report()
        assert re.search(r"^Connection to \[" + re.escape(self.addresses[0]) +
                         r"\] not checked: this computer has no network connection\.$",
                         done.out, re.M), cli.report()
        assert json.status == 3, cli.report()
        assert '"outcome":"not_checked"' in json.out and '"reason":"no_network"' in json.out, \
            cli.report()
        return f"{done.seconds:.2f} s"

    def site_fails(self):
        unchecked = self.count(r"not checked")
        self.nginx.stop()
        refused = (rf"Error connecting to \[{re.escape(SITE)}\] \(port {PORT}\): "
                   r"Connection refused \(10061\)\.")
        self.wait_log(refused, timeout=INTERVAL + WAIT)
        wait_for(lambda: len(self.smtp.messages()) >= 1, 40, "the failure e-mail")
        self.wait_notification("Connection error", "Connection refused")
        text = metrics(self.metrics_port)
        assert sample(text, "vennatro_network_up") == "1", text
        assert "0" in [sample(text, "probe_success", a) for a in self.addresses], text
        assert self.count(r"not checked") == unchecked, "a refusal taken for no network"
        return f"{len(self.smtp.messages())} e-mail(s)"

    def history(self):
        self.exit_with_alt_x()
        path = os.path.join(self.desktop.env["XDG_DATA_HOME"], "Lumo Dev", "Vennatro",
                            "history.sqlite")
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=5) as db:
            rows = db.execute("SELECT addresses.address, pings.outcome, COUNT(*) FROM pings "
                              "JOIN addresses ON pings.address_id = addresses.id "
                              "GROUP BY 1, 2").fetchall()
        counts = {(a, o): n for a, o, n in rows}
        for address in self.addresses:
            # 0 completed, 1 failed, 3 not checked
            assert counts.get((address, 3), 0) >= 4, rows
            assert counts.get((address, 0), 0) >= 3, rows
        return f"{rows}"
