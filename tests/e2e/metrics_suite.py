"""The "metrics" suite: the command line as a plain process, the window's metrics endpoint
scraped by a real Prometheus, the metrics file read by a real node_exporter, and ports named in
the address, on 127.0.0.1 and on [::1]. Then the checks that tell the truth about a site: nginx
serving TLS with certificates of the suite's own authority, the command line's --tls,
--accept-status and --slow-above, /probe side by side with Debian's blackbox exporter, and the
shipped alert rules firing alike for both in a real Prometheus.

    test_desktop.py --program build/vennatro --suite metrics
"""

import os
import re
import signal
import socket
import sqlite3
import stat
import subprocess
import time
import urllib.error
import urllib.parse

import store
from commandline import CommandLine
from desktop import free_port, wait_for
from program import Program
from servers import (Authority, BlackboxExporter, ClosedPort, Nginx, NodeExporter, Prometheus,
                     SilentServer, SlowUpstream, TlsNginx, http_get, timed_probe)
from test_desktop import WAIT, Scenario, _Closer

STAMP = r"\[[^\]\r\n]+\]"
SCRAPE_WAIT = 60  # seconds: Prometheus scrapes every second, and is slow to start on a busy box
RULES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources",
                     "prometheus", "vennatro-alerts.yml")
SLOW_SECONDS = 2.5  # the slow upstream's delay: above "Slow above" (2 s) and the rules' 2 s

# The sites of the checks and what a check with TLS verified and 2xx accepted makes of them:
# (name, scheme, site, path, success).
PROBE_CASES = [
    ("valid, 200", "https", "valid", "/status/200", 1),
    ("valid, 404", "https", "valid", "/status/404", 0),
    ("valid, 503", "https", "valid", "/status/503", 0),
    ("expiring in 5 days", "https", "soon", "/status/200", 1),
    ("expired", "https", "expired", "/", 0),
    ("wrong name", "https", "wrongname", "/", 0),
    ("self-signed", "https", "selfsigned", "/", 0),
    ("plain HTTP under https", "https", "plain", "/", 0),
    ("http, 200", "http", "plain", "/status/200", 1),
    ("http, 503", "http", "plain", "/status/503", 0),
    ("slow", "https", "valid", "/slow", 1),
]


def completed_line(address, port):
    """The command line's completion line of address on port (LF line ends)."""
    return re.compile(rf"^{STAMP} Connection to \[{re.escape(address)}\] \(port {port}\) "
                      r"completed in \d+\.\d{3} seconds\.$", re.M)


def refused_line(port):
    return re.compile(rf"^{STAMP} Error connecting to \[127\.0\.0\.1\] \(port {port}\): "
                      r"Connection refused \(10061\)\.$", re.M)


_SAMPLE = re.compile(r"^([A-Za-z_:][\w:]*)(?:\{(.*)\})?[ \t]+(\S+)")
_LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


def samples(text):
    """The samples of a Prometheus text exposition: {(name, ((label, value), ...)): value}."""
    out = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = _SAMPLE.match(line)
        if m:
            labels = tuple(sorted(_LABEL.findall(m.group(2) or "")))
            out[(m.group(1), labels)] = m.group(3)
    return out


def sample(found, name, **labels):
    return found.get((name, tuple(sorted(labels.items()))))


def _url(tls, scheme, site, path):
    return f"{scheme}://127.0.0.1:{tls.port_of[site]}{path}"


def _get_status(url):
    """(HTTP status, body) of a GET, errors included."""
    try:
        status, _, body = http_get(url)
        return status, body
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode("utf-8", "replace")


class MetricsScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"command line and metrics, tray host {args.tray}"
        self.nginx = None  # 127.0.0.1 on two ports
        self.nginx6 = None  # [::1]
        self.nginx6_error = None
        self.closed = None
        self.cli = None
        self.prometheus = None
        self.exporter = None
        self.textfile_dir = os.path.join(self.root, "textfile")
        self.metrics_port = None
        self.auto_address = None
        self.authority = None
        self.tls = None  # TlsNginx
        self.blackbox = None
        self.probe_port = None  # the service's metrics port, for /probe
        self.soon_expiry = None

    def setup(self):
        super().setup()
        self.nginx = Nginx(self.root, self.desktop.log_dir, hosts=("127.0.0.1", "127.0.0.1"))
        self.servers.append(self.nginx)
        self.nginx.start(self.desktop.env)
        self.closed = ClosedPort()
        self.servers.append(_Closer(self.closed))
        self.cli = CommandLine(self.args.program, self.desktop.env,
                               os.path.join(self.root, "cli-config"))
        os.makedirs(self.textfile_dir)

    @property
    def port2(self):
        return self.nginx.ports[1]

    def steps(self):
        return [
            ("command line without a display: exit 0, the completion line, the request",
             self.cli_completes),
            ("command line --count 2: two pings, two lines, the interval between",
             self.cli_count),
            ("command line on a refused port: exit 1, one error line an attempt",
             self.cli_refused),
            ("command line usage errors: exit 2, a message on stderr, nothing pinged",
             self.cli_usage_errors),
            ("command line --help and --version: exit 0 on stdout", self.cli_help_version),
            ("command line with an unreadable store: defaults, said once, file untouched",
             self.cli_unreadable_store),
            ("command line, port in the address: that port, whatever --http-port says",
             self.cli_port_in_address),
            ("command line on nginx at [::1]: completes", self.cli_ipv6),
            ("node_exporter's textfile collector reads --metrics-file", self.node_exporter_file),
            ("Prometheus starts on loopback, scraping the metrics port every second",
             self.prometheus_starts),
            ("window with a metrics port: auto-ping at a port in the address, /metrics",
             self.window_metrics_endpoint),
            ("Prometheus reports probe_success 1 for the window's target",
             self.prometheus_reports),
            ("the window's metrics file reaches node_exporter", self.window_metrics_file),
            ("command line beside the running window: neither wakes nor ends it",
             self.cli_beside_window),
            ("window pings nginx at [::1]; Prometheus sees that target too", self.window_ipv6),
            ("History window (Ctrl+H) after real pings: a chart and its figures",
             self.window_history),
            ("Alt+X ends the window with status 0 and closes the metrics port",
             self.window_exits),
            ("--serve with a display: three watched addresses (one refused), Prometheus scrapes "
             "it, history rows, the window refuses to start beside it, SIGTERM ends it with 0",
             self.service_runs),
            ("TLS sites of the suite's own authority on nginx (valid, expiring, expired, wrong "
             "name, self-signed, plain), a slow upstream, the blackbox exporter",
             self.tls_sites_start),
            ("command line --tls, --accept-status, --slow-above on each site: verdict, reason, "
             "exit status; the request over TLS at nginx; --timeout 2 lasts 2 s",
             self.cli_checks),
            ("/probe of a --serve beside the blackbox exporter's: probe_success agrees on every "
             "case; no target, ftp:// and the endpoint itself get 400", self.probe_parity),
            ("Prometheus with the shipped alert rules scrapes both /probe patterns: the same "
             "alerts for both", self.rules_fire_for_both),
        ]

    def context(self):
        parts = [super().context()]
        if self.cli and self.cli.runs:
            parts.append("--- command line, last runs:\n" + self.cli.report())
        if self.nginx6:
            reqs = [(r["request"], r["host"], r["addr"]) for r in self.nginx6.requests()]
            parts.append(f"--- nginx [::1] requests: {reqs}")
        for daemon in (self.prometheus, self.exporter):
            if daemon:
                parts.append(f"--- {daemon.name} output (end):\n{daemon.output(1500)}")
        if self.prometheus and self.prometheus.proc:
            try:
                parts.append(f"--- Prometheus targets: {self.prometheus.targets_health()}")
            except Exception as e:
                parts.append(f"--- Prometheus targets: not readable ({e})")
        return "\n".join(parts)

    # -- helpers -------------------------------------------------------------------------

    def requests_for(self, path, server=None):
        return [r for r in (server or self.nginx).requests() if r["path"] == path]

    def wait_exported(self, target):
        """node_exporter's /metrics text once it holds the line probe_success{target} 1."""
        want = f'probe_success{{target="{target}"}} 1'

        def probe():
            text = self.exporter.metrics()
            return text if want in text.splitlines() else None
        return wait_for(probe, WAIT, f"node_exporter to show {want}")

    def start_nginx6(self):
        """nginx on [::1], started on first use; a machine without ::1 fails the checks that
        need it, and only those."""
        if self.nginx6 is None and self.nginx6_error is None:
            nginx6 = Nginx(self.root, self.desktop.log_dir, hosts=("[::1]",), name="nginx-v6")
            try:
                nginx6.start(self.desktop.env)
            except Exception as e:
                self.nginx6_error = f"nginx did not start on [::1]: {e}"
                nginx6.stop()
            else:
                self.nginx6 = nginx6
                self.servers.append(nginx6)
        if self.nginx6_error:
            raise AssertionError(self.nginx6_error)
        return self.nginx6

    # -- the command line on its own -----------------------------------------------------

    def cli_completes(self):
        address = f"http://127.0.0.1:{self.nginx.port}/e2e-cli"
        r = self.cli.run("--ping", address)
        assert r.status == 0, f"exit status {r.status}\n{r}"
        lines = completed_line(address, self.nginx.port).findall(r.out)
        assert len(lines) == 1, f"{len(lines)} completion lines\n{r}"
        assert "\r" not in r.out, f"a CR in the output: {r.out!r}"
        assert r.err == "", f"stderr {r.err!r}"
        reqs = self.requests_for("/e2e-cli")
        assert len(reqs) == 1, f"{len(reqs)} requests at nginx"
        assert reqs[0]["request"] == "HEAD /e2e-cli HTTP/1.0", reqs[0]["request"]
        assert reqs[0]["host"] == f"127.0.0.1:{self.nginx.port}", f"Host {reqs[0]['host']!r}"
        assert re.match(r"^Vennatro/1\.0\.1 \(Linux \d+\.\d+\)$", reqs[0]["agent"]), \
            f"user agent {reqs[0]['agent']!r}"
        # It only reads the store: nothing may appear in its configuration folder.
        created = os.listdir(self.cli.env["XDG_CONFIG_HOME"]) \
            if os.path.isdir(self.cli.env["XDG_CONFIG_HOME"]) else []
        assert not created, f"the command line created {created}"

    def cli_count(self):
        address = f"http://127.0.0.1:{self.nginx.port}/e2e-cli-count"
        r = self.cli.run("--ping", address, "--count", "2", "--interval", "1")
        assert r.status == 0, f"exit status {r.status}\n{r}"
        lines = completed_line(address, self.nginx.port).findall(r.out)
        assert len(lines) == 2, f"{len(lines)} completion lines instead of two\n{r}"
        assert len(self.requests_for("/e2e-cli-count")) == 2, "nginx did not see two requests"
        # Qt's default (coarse) timers may fire up to 5 % early.
        assert r.seconds >= 0.95, f"two pings a second apart took only {r.seconds:.2f} s"

    def cli_refused(self):
        port = self.closed.port
        r = self.cli.run("--ping", f"http://127.0.0.1:{port}/e2e-cli-refused", "--attempts", "2")
        assert r.status == 1, f"exit status {r.status}\n{r}"
        lines = refused_line(port).findall(r.out)
        assert len(lines) == 2, f"{len(lines)} error lines instead of two\n{r}"
        assert "completed" not in r.out, r.out
        assert r.err == "", f"stderr {r.err!r}"

    def cli_usage_errors(self):
        url = f"http://127.0.0.1:{self.nginx.port}/e2e-usage"
        cases = [
            (["--bogus"], 'unknown option "--bogus"'),
            (["--ping", url, "--bogus"], 'unknown option "--bogus"'),
            (["--ping"], "no URL given"),
            (["--count", "2"], "no URL given"),
            (["--ping", "ftp://x"], "Only HTTP and HTTPS"),
            (["--ping", url, "--count", "0"], 'whole number from 1 to 1000000, not "0"'),
            (["--ping", url, "--count", "-1"], 'whole number from 1 to 1000000, not "-1"'),
            (["--ping", url, "--count", "abc"], 'whole number from 1 to 1000000, not "abc"'),
            (["--ping", url, "--count"], "--count needs a value"),
            (["--ping", url + "\r\nX-Injected: 1"], "control characters"),
            (["--ping", "http://127.0.0.1:99999/e2e-usage"], "Invalid port"),
        ]
        wrong = []
        for argv, want in cases:
            r = self.cli.run(*argv, timeout=15)
            if r.status != 2 or r.out or want not in r.err or not r.err.endswith("\n") \
                    or "\r" in r.err:
                wrong.append(f"{argv!r}: wanted exit 2, nothing on stdout and {want!r} on "
                             f"stderr\n{r}")
        assert not wrong, "\n".join(wrong)
        reqs = [r for r in self.nginx.requests() if r["path"].startswith("/e2e-usage")]
        assert not reqs, f"a refused command line still pinged: {reqs}"
        return f"{len(cases)} refused"

    def cli_help_version(self):
        r = self.cli.run("--help")
        assert r.status == 0 and r.out.startswith("Usage: vennatro --ping URL") and not r.err, \
            str(r)
        for option in ("--count", "--interval", "--attempts", "--timeout", "--http-port",
                       "--https-port", "--metrics-file"):
            assert option in r.out, f"--help does not name {option}"
        r = self.cli.run("--version")
        assert r.status == 0 and re.match(r"^Vennatro 1\.0\.1(\.\d+)?\n$", r.out) \
            and not r.err, str(r)

    def cli_unreadable_store(self):
        home = os.path.join(self.root, "cli-store-config")
        path = store.store_path(home)
        folder = os.path.dirname(path)
        port = self.closed.port
        address = f"http://127.0.0.1:{port}/e2e-store"

        def ping():
            return self.cli.run("--ping", address, config_home=home)

        def one_notice(r, what):
            notice = r.err.splitlines()
            assert len(notice) == 1 and notice[0].startswith("vennatro: ") and path in notice[0] \
                and "default settings" in notice[0], f"{what}: stderr {r.err!r}"

        # A readable store is used: one attempt, as it says.
        store.write_store(home, {"Ping attempts": 1})
        r = ping()
        assert r.status == 1 and len(refused_line(port).findall(r.out)) == 1 and not r.err, \
            f"a store with one attempt:\n{r}"

        # The default is three attempts.
        os.remove(path)
        os.mkdir(path)
        r = ping()
        assert r.status == 1 and len(refused_line(port).findall(r.out)) == 3, \
            f"a folder at the store path: wanted the defaults (three attempts)\n{r}"
        one_notice(r, "a folder at the store path")
        assert os.path.isdir(path) and not os.listdir(path), "the folder was changed"
        os.rmdir(path)

        broken = [
            ("garbage", b"\x00\xff not a store at all\r\n[HKEY_oops\r\n\"x\"=dword:zz\r\n"),
            ("a truncated line after good ones",
             store.render({"Ping attempts": 1}, ['"Log file"="/tmp/unterminated'])),
        ]
        for what, data in broken:
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, ns=(1_000_000_000, 1_000_000_000))
            before = os.stat(path)
            names = sorted(os.listdir(folder))
            r = ping()
            assert r.status == 1 and len(refused_line(port).findall(r.out)) == 3, \
                f"{what}: wanted the defaults (three attempts)\n{r}"
            one_notice(r, what)
            with open(path, "rb") as f:
                assert f.read() == data, f"{what}: the store file changed"
            after = os.stat(path)
            assert (after.st_mtime_ns, after.st_ino, stat.S_IMODE(after.st_mode)) == \
                (before.st_mtime_ns, before.st_ino, stat.S_IMODE(before.st_mode)), \
                f"{what}: the store file was touched"
            assert sorted(os.listdir(folder)) == names, \
                f"{what}: files appeared beside the store: {sorted(os.listdir(folder))}"

    def cli_port_in_address(self):
        # The address names the second port; --http-port points at a refused one.
        address = f"http://127.0.0.1:{self.port2}/e2e-cli-port2"
        r = self.cli.run("--ping", address, "--http-port", str(self.closed.port),
                         "--attempts", "1")
        assert r.status == 0, f"exit status {r.status}\n{r}"
        assert completed_line(address, self.port2).search(r.out), \
            f"no completion line with (port {self.port2})\n{r}"
        reqs = self.requests_for("/e2e-cli-port2")
        assert len(reqs) == 1 and reqs[0]["port"] == str(self.port2), \
            f"requests {reqs}, wanted one at port {self.port2}"
        assert reqs[0]["host"] == f"127.0.0.1:{self.port2}", f"Host {reqs[0]['host']!r}"
        # Without a port in the address --http-port applies, and the Host names no port.
        address = "http://127.0.0.1/e2e-cli-httpport"
        r = self.cli.run("--ping", address, "--http-port", str(self.nginx.port),
                         "--attempts", "1")
        assert r.status == 0 and completed_line(address, self.nginx.port).search(r.out), str(r)
        reqs = self.requests_for("/e2e-cli-httpport")
        assert len(reqs) == 1 and reqs[0]["port"] == str(self.nginx.port) \
            and reqs[0]["host"] == "127.0.0.1", f"requests {reqs}"

    def cli_ipv6(self):
        nginx6 = self.start_nginx6()
        address = f"http://[::1]:{nginx6.port}/e2e-cli-v6"
        r = self.cli.run("--ping", address, "--attempts", "1", "--timeout", "10")
        assert r.status == 0, f"exit status {r.status}\n{r}"
        assert completed_line(address, nginx6.port).search(r.out), str(r)
        reqs = self.requests_for("/e2e-cli-v6", nginx6)
        assert len(reqs) == 1 and reqs[0]["addr"] == "::1", f"requests at [::1]: {reqs}"
        assert reqs[0]["host"] == f"[::1]:{nginx6.port}", f"Host {reqs[0]['host']!r}"

    def node_exporter_file(self):
        self.exporter = NodeExporter(self.root, self.desktop.log_dir, self.textfile_dir)
        self.servers.append(self.exporter)
        self.exporter.start(self.desktop.env)
        good = f"http://127.0.0.1:{self.nginx.port}/e2e-textfile"
        bad = f"http://127.0.0.1:{self.closed.port}/e2e-textfile-refused"
        prom = os.path.join(self.textfile_dir, "vennatro.prom")
        r = self.cli.run("--ping", good, bad, "--attempts", "1", "--metrics-file", prom)
        assert r.status == 1, f"one of two pings failed, yet exit status {r.status}\n{r}"
        assert not r.err, f"stderr {r.err!r}"
        mode = stat.S_IMODE(os.stat(prom).st_mode)
        assert mode == 0o644, f"metrics file mode {mode:o}"
        left = sorted(os.listdir(self.textfile_dir))
        assert left == ["vennatro.prom"], f"the metrics folder holds {left}"
        text = self.wait_exported(good)
        found = samples(text)
        checks = {
            ("probe_success", bad): sample(found, "probe_success", target=bad) == "0",
            ("status 200", good):
                sample(found, "probe_http_status_code", target=good) == "200",
            ("completed 1", good): sample(found, "vennatro_pings_total", target=good,
                                          outcome="completed") == "1",
            ("failed 1", bad): sample(found, "vennatro_pings_total", target=bad,
                                      outcome="failed") == "1",
            ("no textfile error", ""): sample(found, "node_textfile_scrape_error") == "0",
        }
        wrong = [k for k, ok in checks.items() if not ok]
        assert not wrong, f"node_exporter's metrics miss {wrong}:\n" + "\n".join(
            line for line in text.splitlines()
            if line.startswith(("probe_", "vennatro_", "node_textfile")))

    # -- the window, Prometheus --------------------------------------------------------------

    def prometheus_starts(self):
        self.metrics_port = free_port()
        self.prometheus = Prometheus(self.root, self.desktop.log_dir,
                                     [f"127.0.0.1:{self.metrics_port}"])
        self.servers.append(self.prometheus)
        self.prometheus.start(self.desktop.env)
        health = wait_for(self.prometheus.targets_health, WAIT, "Prometheus to list its target")
        urls = [u for u, _, _ in health]
        assert urls == [f"http://127.0.0.1:{self.metrics_port}/metrics"], f"targets {urls}"

    def window_metrics_endpoint(self):
        self.auto_address = f"http://127.0.0.1:{self.port2}/e2e-window-auto"
        store.write_store(self.config_home, {
            "HTTP port": self.closed.port, "HTTPS port": self.closed.port,
            "Ping attempts": 1, "Ping timeout": 10, "Save log": 1, "Log file": self.log_path,
            "Show notifications": 0, "Auto-ping at start": 1,
            "Auto-ping address": self.auto_address, "Metrics port": self.metrics_port,
            "Metrics file": os.path.join(self.textfile_dir, "window.prom"),
        })
        self.start_and_wait_window()
        self.wait_log(rf"{STAMP} Connection to \[{re.escape(self.auto_address)}\] "
                      rf"\(port {self.port2}\) completed in \d+\.\d{{3}} seconds\.\r\n")
        reqs = wait_for(lambda: self.requests_for("/e2e-window-auto"), WAIT,
                        "the auto-ping at nginx")
        assert reqs[0]["port"] == str(self.port2), f"the auto-ping reached port {reqs[0]['port']}"
        assert reqs[0]["host"] == f"127.0.0.1:{self.port2}", f"Host {reqs[0]['host']!r}"
        status, headers, body = http_get(f"http://127.0.0.1:{self.metrics_port}/metrics")
        assert status == 200, f"GET /metrics: {status}"
        ctype = headers.get("Content-Type", "")
        assert ctype.startswith("text/plain"), f"Content-Type {ctype!r}"
        value = sample(samples(body), "probe_success", target=self.auto_address)
        assert value == "1", f"probe_success of {self.auto_address} is {value!r}:\n{body}"

    def wait_prometheus(self, target):
        if not (self.prometheus and self.prometheus.proc):
            raise AssertionError("Prometheus is not running (it did not start, see above)")

        def probe():
            for labels, value in self.prometheus.query("probe_success"):
                if labels.get("target") == target and value == "1":
                    return labels
            return None
        try:
            return wait_for(probe, SCRAPE_WAIT,
                            f'Prometheus to report probe_success{{target="{target}"}} 1',
                            interval=0.25)
        except AssertionError as e:
            raise AssertionError(f"{e}; targets: {self.prometheus.targets_health()}; "
                                 f"probe_success: {self.prometheus.query('probe_success')}")

    def window_running(self):
        """Fails at once, not after a wait, when the window of the earlier step is gone."""
        if not (self.program and self.program.running()):
            raise AssertionError("the window is not running (see the earlier failure)")

    def prometheus_reports(self):
        self.window_running()
        started = time.monotonic()
        labels = self.wait_prometheus(self.auto_address)
        took = time.monotonic() - started
        assert labels.get("job") == "vennatro" and \
            labels.get("instance") == f"127.0.0.1:{self.metrics_port}", f"labels {labels}"
        up = self.prometheus.query('up{job="vennatro"}')
        assert [v for _, v in up] == ["1"], f"up: {up}"
        return f"after {took:.1f} s"

    def window_metrics_file(self):
        if not (self.exporter and self.exporter.proc):
            raise AssertionError("node_exporter is not running (it did not start, see above)")
        text = self.wait_exported(self.auto_address)
        assert sample(samples(text), "node_textfile_scrape_error") == "0", "textfile error"
        mode = stat.S_IMODE(os.stat(os.path.join(self.textfile_dir, "window.prom")).st_mode)
        assert mode == 0o644, f"window.prom mode {mode:o}"

    def cli_beside_window(self):
        self.window_running()
        p = self.program
        p.wait_tray_docked(WAIT)
        p.close_window(p.wait_main_window())
        wait_for(lambda: p.main_window() is None, WAIT, "the window to hide on close")
        saved = open(store.store_path(self.config_home), "rb").read()
        log_before = self.read_log_file()
        # The window's own environment, less the display: the same runtime folder (where the
        # single-instance lock lives), configuration and session bus.
        cli = CommandLine(self.args.program, self.desktop.env, self.config_home)
        address = f"http://127.0.0.1:{self.nginx.port}/e2e-cli-beside"
        try:
            r = cli.run("--ping", address, "--attempts", "1")
        finally:
            self.cli.runs.extend(cli.runs)
        assert r.status == 0 and completed_line(address, self.nginx.port).search(r.out), str(r)
        assert not r.err, f"stderr {r.err!r}"
        # The service takes the window's lock: beside a window it says so and ends.
        try:
            serve = cli.run("--serve", timeout=10)
        finally:
            self.cli.runs.extend(cli.runs[-1:])
        assert serve.status == 1 and "window runs" in serve.err, str(serve)
        # No event marks an absence: watch a second that the window stays hidden.
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            p.assert_running(" after the command line ran beside it")
            assert p.main_window() is None, "the command line brought the window up"
            time.sleep(0.1)
        assert open(store.store_path(self.config_home), "rb").read() == saved, \
            "the store changed"
        assert self.read_log_file() == log_before, "the window's log file changed"
        body = http_get(f"http://127.0.0.1:{self.metrics_port}/metrics")[2]
        assert "/e2e-cli-beside" not in body, "the command line's ping is in the window's metrics"

    def window_ipv6(self):
        self.window_running()
        p = self.program
        nginx6 = self.start_nginx6()
        # A second start brings the hidden window back (and shows the wake-up still works).
        second = Program(self.args.program, self.desktop, name="vennatro-second")
        second.start()
        try:
            rc = second.wait_exit(10)
        finally:
            second.kill()
        assert rc == 0, f"the second start ended with status {rc}"
        p.wait_main_window(WAIT)
        address = f"http://[::1]:{nginx6.port}/e2e-window-v6"
        self.set_address(address, "Return")
        self.wait_log(rf"{STAMP} Connection to \[{re.escape(address)}\] "
                      rf"\(port {nginx6.port}\) completed in \d+\.\d{{3}} seconds\.\r\n")
        reqs = self.requests_for("/e2e-window-v6", nginx6)
        assert len(reqs) == 1 and reqs[0]["addr"] == "::1", f"requests at [::1]: {reqs}"
        assert reqs[0]["host"] == f"[::1]:{nginx6.port}", f"Host {reqs[0]['host']!r}"
        self.wait_prometheus(address)

    def window_history(self):
        self.window_running()
        p = self.program
        w = p.wait_main_window(WAIT)
        address = f"http://127.0.0.1:{self.nginx.port}/e2e-history"
        for n in range(1, 6):
            self.set_address(address, "Return")
            self.wait_log(rf"{STAMP} Connection to \[{re.escape(address)}\] "
                          rf"\(port {self.nginx.port}\) completed in", count=n)
        p.key(w, "ctrl+h")
        dialog = p.wait_dialog(r"^History$")
        x, y, width, height = p.geometry(dialog["id"])
        assert width >= 300 and height >= 200, f"History window {width}x{height}"
        # For the README: a person checks that the chart reads well.
        self.shot("history", window=dialog["id"])
        p.key(dialog["id"], "Escape")

    def window_exits(self):
        self.window_running()
        self.exit_with_alt_x()
        saved = store.read_store(self.config_home)
        assert saved.get("Metrics port") == ("dword", self.metrics_port), \
            f"Metrics port stored as {saved.get('Metrics port')}"
        try:
            with socket.create_connection(("127.0.0.1", self.metrics_port), timeout=2):
                pass
        except ConnectionRefusedError:
            return
        raise AssertionError(f"port {self.metrics_port} still takes connections after exit")

    # -- the service -----------------------------------------------------------------------

    def history_rows(self, address):
        """Rows of the history for address, read by SQLite from outside."""
        path = os.path.join(self.desktop.env["XDG_DATA_HOME"], "Lumo Dev", "Vennatro",
                            "history.sqlite")
        with sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=5) as db:
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master")}
            if "addresses" in tables:
                return db.execute("SELECT COUNT(*) FROM pings JOIN addresses ON "
                                  "pings.address_id = addresses.id WHERE addresses.address = ?",
                                  (address,)).fetchone()[0]
            return db.execute("SELECT COUNT(*) FROM pings WHERE address = ?",
                              (address,)).fetchone()[0]

    def service_runs(self):
        up = [f"http://127.0.0.1:{self.nginx.port}/e2e-serve-a",
              f"http://127.0.0.1:{self.port2}/e2e-serve-b"]
        refused = f"http://127.0.0.1:{self.closed.port}/e2e-serve-c"
        store.write_store(self.config_home, {
            "Ping attempts": 1, "Ping timeout": 10, "Watch interval": 10,
            "Watched addresses": "".join(a + "\r\n" for a in up + [refused]),
            "Metrics port": self.metrics_port, "Show notifications": 0,
        })
        # The desktop's own environment, display and all: the service still shows no window.
        out_path = os.path.join(self.desktop.log_dir, "serve.out")
        with open(out_path, "wb") as out:
            proc = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--", self.args.program,
                                     "--serve"], env=self.desktop.env, stdout=out,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.servers.append(_Closer(_Killer(proc)))

        def printed():
            with open(out_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        for address, port in ((up[0], self.nginx.port), (up[1], self.port2)):
            wait_for(lambda: completed_line(address, port).search(printed()), WAIT,
                     f"the service's completion line of {address}")
        wait_for(lambda: refused_line(self.closed.port).search(printed()), WAIT,
                 "the service's refused line")
        for address in up:
            self.wait_prometheus(address)
        with open(f"/proc/{proc.pid}/maps") as f:
            gui = [line.split()[-1] for line in f if "libQt6Gui" in line or "libQt6Widgets" in line]
        assert not gui, f"the service loaded {sorted(set(gui))}"
        for address in up + [refused]:
            rows = wait_for(lambda: self.history_rows(address), WAIT, f"history of {address}")
            assert rows >= 1, f"{rows} history rows of {address}"

        window = Program(self.args.program, self.desktop, name="vennatro-beside-service")
        window.start()
        try:
            box = window.wait_dialog(r"^Vennatro$")
            window.key(box["id"], "Return")
            rc = window.wait_exit(10)
        finally:
            window.kill()
        assert rc == 1, f"the window beside the service ended with status {rc}"
        assert "already runs as a service" in window.output(), window.output()

        started = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        rc = proc.wait(timeout=10)
        took = time.monotonic() - started
        assert rc == 0 and took < 2, f"SIGTERM: status {rc} after {took:.2f} s"
        return f"ended {took * 1000:.0f} ms after SIGTERM"

    # -- the checks of a site ------------------------------------------------------------

    def tls_sites_start(self):
        folder = os.path.join(self.root, "authority")
        self.authority = Authority(folder)
        issued = {
            "valid": self.authority.issue("valid"),
            "soon": self.authority.issue("soon", days_to=5),
            "expired": self.authority.issue("expired", days_from=-30, days_to=-1),
            "wrongname": self.authority.issue("wrongname", ips=(), dns=("other.test",)),
            "selfsigned": self.authority.issue("selfsigned", self_signed=True),
        }
        self.soon_expiry = issued["soon"][2].timestamp()
        upstream = SlowUpstream(SLOW_SECONDS).start()
        self.servers.append(upstream)
        sites = {name: (cert, key) for name, (cert, key, _) in issued.items()}
        sites["plain"] = None
        self.tls = TlsNginx(self.root, self.desktop.log_dir, sites, upstream=upstream.port)
        self.servers.append(self.tls)
        self.tls.start(self.desktop.env)
        self.blackbox = BlackboxExporter(self.root, self.desktop.log_dir, self.authority.path)
        self.servers.append(self.blackbox)
        self.blackbox.start(self.desktop.env)
        return f"nginx sites {self.tls.port_of}, blackbox exporter on {self.blackbox.port}"


    def cli_checks(self):
        if not self.tls:
            raise AssertionError("the TLS sites did not start (see above)")
        cli = CommandLine(self.args.program,
                          dict(self.desktop.env, SSL_CERT_FILE=self.authority.path),
                          os.path.join(self.root, "cli-tls-config"))
        error = r"\] Error connecting to \[127\.0\.0\.1\] \(port \d+\): {} \(0\)\.$"
        completed = r" completed in \d+\.\d{3} seconds\.$"
        cases = [
            ("https", "valid", "/status/200", ["--tls", "--accept-status", "200-299"], 0,
             completed),
            ("https", "valid", "/status/503", ["--tls", "--accept-status", "200-299"], 1,
             error.format("HTTP status 503 is not accepted")),
            ("https", "valid", "/status/404", ["--tls"], 0, completed),
            ("https", "expired", "/", ["--tls"], 1, error.format("Certificate has expired")),
            ("https", "wrongname", "/", ["--tls"], 1, error.format("Host name mismatch")),
            ("https", "selfsigned", "/", ["--tls"], 1, error.format("Self-signed certificate")),
            ("https", "plain", "/", ["--tls"], 1,
             error.format("TLS handshake failed: wrong version number")),
            ("https", "expired", "/", [], 0, completed),  # without --tls: a connect, as ever
            ("https", "valid", "/slow", ["--tls", "--slow-above", "2000"], 0,
             r" completed in \d+\.\d{3} seconds\. \(slow\)$"),
            ("http", "plain", "/status/503", ["--accept-status", "200-399"], 1,
             error.format("HTTP status 503 is not accepted")),
        ]
        wrong = []
        for scheme, site, path, options, status, line in cases:
            url = _url(self.tls, scheme, site, path)
            r = cli.run("--ping", url, "--attempts", "1", *options)
            if r.status != status or not re.search(line, r.out, re.M):
                wrong.append(f"{url} {options}: wanted exit {status} and /{line}/\n{r}")
        self.cli.runs.extend(cli.runs)
        assert not wrong, "\n".join(wrong)
        # The request went over TLS 1.3, with the site's address and port as its Host.
        port = self.tls.port_of["valid"]
        reqs = [r for r in self.tls.requests()
                if r["path"] == "/status/200" and r["port"] == str(port)]
        assert reqs and reqs[0]["request"] == "HEAD /status/200 HTTP/1.0" and \
            reqs[0]["tls"] == "TLSv1.3" and reqs[0]["host"] == f"127.0.0.1:{port}", \
            f"nginx: {reqs}"
        # The attempt's time-out is a precise timer: never early.
        silent = SilentServer().start()
        self.servers.append(silent)
        r = cli.run("--ping", f"http://127.0.0.1:{silent.port}/", "--timeout", "2",
                    "--attempts", "1")
        self.cli.runs.append(r)
        assert r.status == 1 and "Connection timed out (10060)." in r.out, str(r)
        assert r.seconds >= 2.0, f"--timeout 2 ended after {r.seconds:.3f} s"
        return f"{len(cases)} cases; --timeout 2 took {r.seconds:.3f} s"

    def probe_parity(self):
        if not (self.tls and self.blackbox and self.blackbox.proc):
            raise AssertionError("the TLS sites or the blackbox exporter did not start "
                                 "(see above)")
        # A service of its own: its own settings, history and lock, trusting the authority.
        home = os.path.join(self.root, "probe-service")
        runtime = os.path.join(home, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.probe_port = free_port()
        config = os.path.join(home, "config")
        store.write_store(config, {
            "Metrics port": self.probe_port, "Check TLS on https": 1,
            "Accepted HTTP status": "200-299", "Slow above": 2000, "Ping timeout": 10,
            "Show notifications": 0,
        })
        env = dict(self.desktop.env, XDG_CONFIG_HOME=config,
                   XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=runtime,
                   SSL_CERT_FILE=self.authority.path)
        with open(os.path.join(self.desktop.log_dir, "probe-service.out"), "wb") as out:
            proc = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--", self.args.program,
                                     "--serve"], env=env, stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)
        self.servers.append(_Closer(_Killer(proc)))
        ours = f"http://127.0.0.1:{self.probe_port}/probe?"
        wait_for(lambda: _get_status(f"http://127.0.0.1:{self.probe_port}/metrics")[0] == 200, WAIT,
                 "the service's metrics endpoint")
        wrong, times = [], {"ours": [], "blackbox": []}
        for name, scheme, site, path, success in PROBE_CASES:
            url = _url(self.tls, scheme, site, path)
            took, mine = timed_probe(ours + urllib.parse.urlencode({"target": url}))
            theirs_took, theirs = self.blackbox.probe(url)
            if site == "valid" and path == "/status/200":
                times["ours"].append(took)
                times["blackbox"].append(theirs_took)
            got = (mine.get("probe_success"), theirs.get("probe_success"))
            if got != (str(success), str(success)):
                wrong.append(f"{name} ({url}): Vennatro {got[0]}, blackbox exporter {got[1]}, "
                             f"wanted {success}")
            # Where both read an answer they read the same status; TLS facts alike.
            if mine.get("probe_http_ssl") != theirs.get("probe_http_ssl") and success:
                wrong.append(f"{name}: probe_http_ssl {mine.get('probe_http_ssl')} against "
                             f"{theirs.get('probe_http_ssl')}")
            if path.startswith("/status/") and mine.get("probe_http_status_code") != \
                    theirs.get("probe_http_status_code"):
                wrong.append(f"{name}: status {mine.get('probe_http_status_code')} against "
                             f"{theirs.get('probe_http_status_code')}")
            if site == "soon" and abs(float(mine.get("probe_ssl_earliest_cert_expiry", 0)) -
                                      float(theirs.get("probe_ssl_earliest_cert_expiry", 0))) > 1:
                wrong.append(f"{name}: expiry {mine.get('probe_ssl_earliest_cert_expiry')} against "
                             f"{theirs.get('probe_ssl_earliest_cert_expiry')}")
        assert not wrong, "\n".join(wrong)
        for query, why in ((ours.rstrip("?"), "No target"),
                           (ours + "target=ftp%3A%2F%2F127.0.0.1%2F", "Only http:// and https://"),
                           (ours + urllib.parse.urlencode(
                               {"target": f"http://127.0.0.1:{self.probe_port}/metrics"}),
                            "this metrics endpoint")):
            status, body = _get_status(query)
            assert status == 400 and why in body and body.count("\n") == 1, \
                f"{query}: HTTP {status} {body!r}"
        for _ in range(4):
            url = _url(self.tls, "https", "valid", "/status/200")
            times["ours"].append(timed_probe(ours + urllib.parse.urlencode({"target": url}))[0])
            times["blackbox"].append(self.blackbox.probe(url)[0])
        med = {k: sorted(v)[len(v) // 2] * 1000 for k, v in times.items()}
        return (f"{len(PROBE_CASES)} cases agree; /probe of a valid https site, median of 5: "
                f"Vennatro {med['ours']:.1f} ms, blackbox exporter {med['blackbox']:.1f} ms")


    def rules_fire_for_both(self):
        if not self.probe_port:
            raise AssertionError("the /probe service did not start (see above)")
        targets = ", ".join(f"'{_url(self.tls, scheme, site, path)}'"
                            for _, scheme, site, path, _ in PROBE_CASES)

        def job(name, port, params=""):
            return (f"  - job_name: {name}\n    scrape_interval: 5s\n    scrape_timeout: 5s\n"
                    f"    metrics_path: /probe\n{params}"
                    f"    static_configs:\n      - targets: [{targets}]\n"
                    "    relabel_configs:\n"
                    "      - source_labels: [__address__]\n        target_label: __param_target\n"
                    "      - source_labels: [__param_target]\n        target_label: target\n"
                    f"      - target_label: __address__\n        replacement: 127.0.0.1:{port}\n")
        prometheus = Prometheus(self.root, self.desktop.log_dir, [], name="prometheus-rules",
                                jobs=job("vennatro", self.probe_port) +
                                job("blackbox", self.blackbox.port,
                                    "    params:\n      module: [http_2xx]\n"),
                                rule_files=[os.path.abspath(RULES)])
        self.servers.append(prometheus)
        prometheus.start(self.desktop.env)
        want = {("ProbeFailed", _url(self.tls, scheme, site, path))
                for _, scheme, site, path, success in PROBE_CASES if not success}
        want.add(("ProbeSlow", _url(self.tls, "https", "valid", "/slow")))
        want.add(("CertificateExpiringSoon", _url(self.tls, "https", "soon", "/status/200")))

        def alerts_of(job_name):
            return {(name, labels.get("target")) for name, labels, _ in prometheus.alerts()
                    if labels.get("job") == job_name}

        def both():
            return alerts_of("vennatro") == want and alerts_of("blackbox") == want
        try:
            wait_for(both, SCRAPE_WAIT, "the same alerts for both jobs", interval=0.5)
        except AssertionError as e:
            raise AssertionError(f"{e}\nwanted {sorted(want)}\nVennatro: "
                                 f"{sorted(alerts_of('vennatro'))}\nblackbox exporter: "
                                 f"{sorted(alerts_of('blackbox'))}\ntargets: "
                                 f"{prometheus.targets_health()}")
        states = sorted({state for _, _, state in prometheus.alerts()})
        return f"{len(want)} alerts for each job ({', '.join(states)})"


class _Killer:
    def __init__(self, proc):
        self.proc = proc

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
