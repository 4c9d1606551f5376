"""The servers the program talks to in the end-to-end checks, all on 127.0.0.1.

- Nginx: Debian's nginx with a configuration of our own in a temporary folder; its access log
  names the method, path, host and user agent of every request.
- SmtpServer: aiosmtpd (Debian's python3-aiosmtpd) that wants LOGIN authentication with a
  given user and password and keeps every message as a file.
- AwkwardHttpServer: answers by path: 70 KB of headers, NUL bytes, or never a word.
- DroppingSmtpServer: greets, takes the log-on and the envelope, then hangs up in the middle of
  the message.
- ClosedPort: a port bound but not listening, so every connection to it is refused.
- Prometheus, NodeExporter: Debian's prometheus and prometheus-node-exporter as private
  foreground instances on a loopback port, with their own temporary folders.
- Authority, TlsNginx, SlowUpstream, SilentServer, BlackboxExporter: certificates of the checks'
  own, nginx serving TLS sites with them, a slow upstream behind it, a server that never
  answers, and Debian's prometheus-blackbox-exporter trusting the same authority.
"""

import datetime
import email
import email.policy
import json
import os
import shutil
import socket
import threading
import time
import urllib.parse
import urllib.request

from desktop import PROCESSES, free_port, wait_for


def require_program(name, package):
    """The full path of a program the checks need; a clear failure when it is not installed."""
    path = shutil.which(name)
    if not path:
        raise AssertionError(f"{name} is not installed: install the Debian package {package} "
                             "(scripts/common.sh lists it in TEST_PACKAGES)")
    return path


def free_port_v6():
    """A port on ::1 that was free a moment ago."""
    with socket.socket(socket.AF_INET6) as s:
        s.bind(("::1", 0))
        return s.getsockname()[1]


# Straight to loopback: an http_proxy of the environment must not see the checks' requests.
_DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def http_get(url, timeout=5):
    """(status, headers, body text) of a GET on loopback."""
    with _DIRECT.open(url, timeout=timeout) as answer:
        return answer.status, answer.headers, answer.read().decode("utf-8", errors="replace")


class Nginx:
    """hosts: the addresses it listens on, one free port each ("127.0.0.1", "[::1]"); ports[i]
    is the port of hosts[i], port the first one. fixed_ports: the ports to take instead, one a
    host (for an address that was refused until now)."""

    def __init__(self, root, log_dir, hosts=("127.0.0.1",), name="nginx", fixed_ports=None):
        self.name = name
        self.fixed_ports = list(fixed_ports) if fixed_ports else None
        self.root = os.path.join(root, name)
        self.log_dir = log_dir
        self.hosts = tuple(hosts)
        self.ports = []
        self.port = None
        self.proc = None
        self.access_log = os.path.join(self.root, "access.log")
        self.error_log = os.path.join(self.root, "error.log")

    def _config(self):
        user = "user root;\n" if os.geteuid() == 0 else ""
        r = self.root
        listens = "".join(f"        listen {host}:{port};\n"
                          for host, port in zip(self.hosts, self.ports))
        return f"""{user}daemon off;
worker_processes 1;
pid {r}/nginx.pid;
error_log {r}/error.log info;
events {{ worker_connections 64; }}
http {{
    log_format e2e '$request\\t$http_host\\t$http_user_agent\\t$status'
                   '\\t$server_addr\\t$server_port';
    access_log {r}/access.log e2e;
    client_body_temp_path {r}/tmp/body;
    proxy_temp_path {r}/tmp/proxy;
    fastcgi_temp_path {r}/tmp/fastcgi;
    uwsgi_temp_path {r}/tmp/uwsgi;
    scgi_temp_path {r}/tmp/scgi;
    server {{
{listens}        server_name _;
        location / {{
            default_type text/plain;
            return 200 "vennatro e2e\\n";
        }}
    }}
}}
"""

    def start(self, env):
        require_program("nginx", "nginx")
        os.makedirs(os.path.join(self.root, "tmp"), exist_ok=True)
        last = None
        for _ in range(3):  # the free port may be taken between the probe and nginx's bind
            self.ports = list(self.fixed_ports) if self.fixed_ports else [
                free_port_v6() if host.startswith("[") else free_port() for host in self.hosts]
            self.port = self.ports[0]
            conf = os.path.join(self.root, "nginx.conf")
            with open(conf, "w") as f:
                f.write(self._config())
            self.proc = PROCESSES.start(self.name, ["nginx", "-p", self.root, "-e",
                                                    self.error_log, "-c", conf],
                                        env, self.log_dir)
            try:
                wait_for(self._answers, 15, "nginx to answer")
                return
            except AssertionError as e:
                last = e
                PROCESSES.stop(self.proc)
        raise AssertionError(f"nginx did not start: {last}; error log: {self.error_tail()}")

    def _answers(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"nginx ended with status {self.proc.returncode}")
        for host, port in zip(self.hosts, self.ports):
            with socket.create_connection((host.strip("[]"), port), timeout=2) as s:
                s.sendall(b"GET /harness-probe HTTP/1.0\r\nUser-Agent: harness\r\n\r\n")
                if not s.recv(64).startswith(b"HTTP/1.1 200"):
                    return False
        return True

    def stop(self):
        if self.proc:
            PROCESSES.stop(self.proc)
            self.proc = None

    def requests(self):
        """Access-log entries: dicts with request, method, path, host, agent, status and the
        address and port (text) that took the connection."""
        try:
            with open(self.access_log, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            parts = line.split("\t")
            if len(parts) != 6:
                continue
            request, host, agent, status, addr, port = parts
            words = request.split(" ")
            out.append({"request": request, "method": words[0] if words else "",
                        "path": words[1] if len(words) > 1 else "", "host": host,
                        "agent": agent, "status": status, "addr": addr, "port": port})
        return out

    def error_tail(self, limit=2000):
        try:
            with open(self.error_log, "rb") as f:
                return f.read()[-limit:].decode(errors="replace")
        except OSError:
            return "(none)"


class SmtpServer:
    """aiosmtpd in a thread of the harness."""

    def __init__(self, root, user, password):
        self.folder = os.path.join(root, "mail")
        os.makedirs(self.folder, exist_ok=True)
        self.user = user
        self.password = password
        self.port = None
        self.logins = []  # (mechanism, login, accepted)
        self._controller = None

    def start(self):
        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import AuthResult

        server = self

        def authenticator(_server, _session, _envelope, mechanism, auth_data):
            login = getattr(auth_data, "login", b"") or b""
            password = getattr(auth_data, "password", b"") or b""
            ok = (login.decode(errors="replace") == server.user
                  and password.decode(errors="replace") == server.password)
            server.logins.append((mechanism, login.decode(errors="replace"), ok))
            return AuthResult(success=ok)

        class Handler:
            async def handle_DATA(self, _server, session, envelope):
                n = len(os.listdir(server.folder))
                path = os.path.join(server.folder, f"{n:03d}.eml")
                with open(path + ".tmp", "wb") as f:
                    f.write(envelope.content)
                with open(path + ".env", "w") as f:
                    f.write(envelope.mail_from + "\n" + "\n".join(envelope.rcpt_tos) + "\n")
                os.rename(path + ".tmp", path)
                return "250 Message accepted"

        last = None
        for _ in range(3):
            self.port = free_port()
            self._controller = Controller(Handler(), hostname="127.0.0.1", port=self.port,
                                          authenticator=authenticator, auth_required=True,
                                          auth_require_tls=False, ready_timeout=10)
            try:
                self._controller.start()
                return
            except Exception as e:  # the port went to someone else meanwhile
                last = e
        raise AssertionError(f"the SMTP server did not start: {last}")

    def stop(self):
        if self._controller:
            self._controller.stop()
            self._controller = None

    def messages(self):
        """Every message received, parsed, with .envelope = (from, [to])."""
        out = []
        for name in sorted(os.listdir(self.folder)):
            if not name.endswith(".eml"):
                continue
            path = os.path.join(self.folder, name)
            with open(path, "rb") as f:
                msg = email.message_from_bytes(f.read(), policy=email.policy.default)
            try:
                with open(path + ".env") as f:
                    lines = f.read().splitlines()
                msg.envelope = (lines[0], lines[1:])
            except OSError:
                msg.envelope = ("", [])
            out.append(msg)
        return out


class _ThreadedServer:
    """A listening socket whose connections are served one thread each."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self._open = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)

    def start(self):
        self._thread.start()
        return self

    def _accept(self):
        self.sock.settimeout(0.2)
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self._lock:
                self._open.append(conn)
            threading.Thread(target=self._guarded, args=(conn,), daemon=True).start()

    def _guarded(self, conn):
        try:
            conn.settimeout(10)
            self.serve(conn)
        except OSError:
            pass

    def serve(self, conn):
        raise NotImplementedError

    def stop(self):
        self._stop.set()
        self.sock.close()
        with self._lock:
            for conn in self._open:
                try:
                    conn.close()
                except OSError:
                    pass
            self._open = []
        self._thread.join(timeout=2)


def _read_until(conn, marker, limit=1 << 20):
    data = b""
    while marker not in data and len(data) < limit:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


class AwkwardHttpServer(_ThreadedServer):
    """HEAD /big: 70 KB of headers. HEAD /nul: an answer full of NUL bytes. HEAD /silent:
    reads the request and never answers nor closes. Anything else: a plain 200."""

    BIG_HEADERS = 70 * 1024

    def __init__(self):
        super().__init__()
        self.requests = []  # raw request texts in arrival order

    def serve(self, conn):
        request = _read_until(conn, b"\r\n\r\n")
        with self._lock:
            self.requests.append(request)
        first = request.split(b"\r\n", 1)[0].split(b" ")
        path = first[1].decode(errors="replace") if len(first) > 1 else ""
        if path.startswith("/big"):
            head = b"HTTP/1.0 200 OK\r\nServer: awkward\r\n"
            filler = b""
            i = 0
            while len(filler) < self.BIG_HEADERS:
                filler += b"X-Filler-%05d: " % i + b"f" * 100 + b"\r\n"
                i += 1
            conn.sendall(head + filler + b"\r\n")
            conn.shutdown(socket.SHUT_WR)
            _read_until(conn, b"never")  # wait for the client to close
        elif path.startswith("/nul"):
            conn.sendall(b"HTTP/1.0 200 OK\r\nX-Nul: a\x00b\r\n\r\n" + b"\x00" * 512)
            conn.shutdown(socket.SHUT_WR)
            _read_until(conn, b"never")
        elif path.startswith("/silent"):
            self._stop.wait()  # never answers; the harness closes it at the end
        else:
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")
            conn.shutdown(socket.SHUT_WR)
            _read_until(conn, b"never")
        conn.close()

    def paths(self):
        with self._lock:
            reqs = list(self.requests)
        out = []
        for r in reqs:
            first = r.split(b"\r\n", 1)[0].split(b" ")
            if len(first) > 1:
                out.append(first[1].decode(errors="replace"))
        return out


class DroppingSmtpServer(_ThreadedServer):
    """Takes the greeting, log-on and envelope like a server, answers DATA with 354, reads a
    little of the message and hangs up without a word."""

    def __init__(self):
        super().__init__()
        self.commands = []
        self.dropped = threading.Event()

    def serve(self, conn):
        conn.sendall(b"220 dropping.invalid ESMTP\r\n")
        buf = b""
        expecting_auth_lines = 0

        def line():
            nonlocal buf
            while b"\r\n" not in buf:
                chunk = conn.recv(4096)
                if not chunk:
                    raise OSError("client closed")
                buf += chunk
            text, buf = buf.split(b"\r\n", 1)
            return text

        while True:
            text = line()
            self.commands.append(text)
            if expecting_auth_lines:
                expecting_auth_lines -= 1
                conn.sendall(b"334 UGFzc3dvcmQ6\r\n" if expecting_auth_lines
                             else b"235 2.7.0 Authentication successful\r\n")
                continue
            verb = text.split(b" ", 1)[0].upper()
            if verb in (b"EHLO", b"HELO"):
                conn.sendall(b"250-dropping.invalid\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n")
            elif verb == b"AUTH":
                parts = text.split(b" ")
                if len(parts) >= 3:  # the user name came with the command
                    expecting_auth_lines = 1
                    conn.sendall(b"334 UGFzc3dvcmQ6\r\n")
                else:
                    expecting_auth_lines = 2
                    conn.sendall(b"334 VXNlcm5hbWU6\r\n")
            elif verb in (b"MAIL", b"RCPT"):
                conn.sendall(b"250 OK\r\n")
            elif verb == b"DATA":
                conn.sendall(b"354 Go ahead\r\n")
                try:
                    conn.settimeout(2)
                    conn.recv(64)
                except OSError:
                    pass
                self.dropped.set()
                conn.close()  # hang up in the middle of the message
                return
            elif verb == b"QUIT":
                conn.sendall(b"221 Bye\r\n")
                conn.close()
                return
            else:
                conn.sendall(b"250 OK\r\n")


class ClosedPort:
    """A port held bound but not listening: connections to it are refused, and no one else can
    take it meanwhile."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()



class _LoopbackDaemon:
    """A foreground server of Debian's on a free 127.0.0.1 port, with a folder of its own,
    ready once url(ready_path) answers 200."""

    program = ""
    package = ""
    ready_path = "/"

    def __init__(self, root, log_dir, name):
        self.name = name
        self.root = os.path.join(root, name)
        self.log_dir = log_dir
        self.port = None
        self.proc = None

    def argv(self, binary):
        raise NotImplementedError

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def start(self, env):
        binary = require_program(self.program, self.package)
        os.makedirs(self.root, exist_ok=True)
        last = None
        for _ in range(3):  # the free port may be taken between the probe and the bind
            self.port = free_port()
            self.proc = PROCESSES.start(self.name, self.argv(binary), env, self.log_dir)
            try:
                wait_for(self._ready, 30, f"{self.name} to answer on 127.0.0.1:{self.port}")
                return self
            except AssertionError as e:
                last = e
                PROCESSES.stop(self.proc)
                self.proc = None
        raise AssertionError(f"{self.name} did not start: {last}; its output: {self.output()}")

    def _ready(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"{self.name} ended with status {self.proc.returncode}")
        return http_get(self.url(self.ready_path), timeout=2)[0] == 200

    def stop(self):
        if self.proc:
            PROCESSES.stop(self.proc)
            self.proc = None

    def output(self, limit=3000):
        try:
            with open(os.path.join(self.log_dir, f"{self.name}.out"), "rb") as f:
                return f.read()[-limit:].decode(errors="replace")
        except OSError:
            return "(none)"


class Prometheus(_LoopbackDaemon):
    """Scrapes the given host:port targets every second as job "vennatro"."""

    program = "prometheus"
    package = "prometheus"
    ready_path = "/-/ready"

    def __init__(self, root, log_dir, targets, job="vennatro", name="prometheus", jobs="",
                 rule_files=()):
        super().__init__(root, log_dir, name)
        self.targets = list(targets)
        self.job = job
        self.jobs = jobs  # more scrape_configs entries, as YAML text
        self.rule_files = list(rule_files)

    def argv(self, binary):
        config = os.path.join(self.root, "prometheus.yml")
        targets = ", ".join(f"'{t}'" for t in self.targets)
        rules = "".join(f"  - {r}\n" for r in self.rule_files)
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "  evaluation_interval: 1s\n" +
                    (f"rule_files:\n{rules}" if rules else "") +
                    "scrape_configs:\n" +
                    (f"  - job_name: {self.job}\n"
                     "    scrape_interval: 1s\n"
                     f"    static_configs:\n      - targets: [{targets}]\n"
                     if self.targets else "") + self.jobs)
        return [binary, f"--config.file={config}",
                f"--storage.tsdb.path={os.path.join(self.root, 'data')}",
                f"--web.listen-address=127.0.0.1:{self.port}"]

    def query(self, expr):
        """An instant query: [(labels, value text)]."""
        status, _, body = http_get(self.url("/api/v1/query?" +
                                            urllib.parse.urlencode({"query": expr})))
        data = json.loads(body)
        if status != 200 or data.get("status") != "success":
            raise AssertionError(f"query {expr!r}: HTTP {status}, {body[:300]}")
        return [(r["metric"], r["value"][1]) for r in data["data"]["result"]]

    def alerts(self):
        """[(alertname, labels, state)] of every pending or firing alert."""
        status, _, body = http_get(self.url("/api/v1/alerts"))
        data = json.loads(body)
        if status != 200 or data.get("status") != "success":
            raise AssertionError(f"alerts: HTTP {status}, {body[:300]}")
        return [(a["labels"].get("alertname"), a["labels"], a["state"])
                for a in data["data"]["alerts"]]

    def targets_health(self):
        """[(scrapeUrl, health, lastError)] of the active targets."""
        _, _, body = http_get(self.url("/api/v1/targets"))
        active = json.loads(body)["data"]["activeTargets"]
        return [(t.get("scrapeUrl"), t.get("health"), t.get("lastError")) for t in active]


class NodeExporter(_LoopbackDaemon):
    """Only the textfile collector, over the given folder: its /metrics then holds the
    machine-independent samples of the *.prom files there and little else."""

    program = "prometheus-node-exporter"
    package = "prometheus-node-exporter"
    ready_path = "/metrics"

    def __init__(self, root, log_dir, folder):
        super().__init__(root, log_dir, "node-exporter")
        self.folder = folder

    def argv(self, binary):
        return [binary, "--collector.disable-defaults", "--collector.textfile",
                f"--collector.textfile.directory={self.folder}",
                f"--web.listen-address=127.0.0.1:{self.port}"]

    def metrics(self):
        return http_get(self.url("/metrics"))[2]


class Authority:
    """A certificate authority of the checks' own (python3-cryptography), in folder: its
    certificate (path) is what the programs trust through SSL_CERT_FILE or a CA file. issue()
    makes a server certificate of any shape: valid for some days, expired, for other names,
    self-signed."""

    def __init__(self, folder):
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.key = ec.generate_private_key(ec.SECP256R1())
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Vennatro e2e authority")])
        now = datetime.datetime.now(datetime.timezone.utc)
        self.cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                     .public_key(self.key.public_key())
                     .serial_number(x509.random_serial_number())
                     .not_valid_before(now - datetime.timedelta(days=1))
                     .not_valid_after(now + datetime.timedelta(days=3650))
                     .add_extension(x509.BasicConstraints(ca=True, path_length=None), True)
                     .add_extension(x509.KeyUsage(True, False, False, False, False, True, True,
                                                  False, False), True)
                     .add_extension(x509.SubjectKeyIdentifier.from_public_key(
                         self.key.public_key()), False)
                     .sign(self.key, hashes.SHA256()))
        self.path = os.path.join(folder, "authority.pem")
        self._write(self.path, self._pem(self.cert))

    @staticmethod
    def _pem(cert):
        from cryptography.hazmat.primitives import serialization
        return cert.public_bytes(serialization.Encoding.PEM)

    @staticmethod
    def _write(path, data):
        with open(path, "wb") as f:
            f.write(data)

    def issue(self, name, ips=("127.0.0.1",), dns=(), days_from=-1, days_to=90,
              self_signed=False):
        """(certificate path, key path, not-after datetime) of a new server certificate."""
        import ipaddress
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID
        key = ec.generate_private_key(ec.SECP256R1())
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, f"vennatro-e2e-{name}")])
        now = datetime.datetime.now(datetime.timezone.utc)
        not_after = now + datetime.timedelta(days=days_to)
        alt = [x509.DNSName(d) for d in dns] + [x509.IPAddress(ipaddress.ip_address(i))
                                                for i in ips]
        builder = (x509.CertificateBuilder().subject_name(subject)
                   .issuer_name(subject if self_signed else self.cert.subject)
                   .public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now + datetime.timedelta(days=days_from))
                   .not_valid_after(not_after)
                   .add_extension(x509.BasicConstraints(ca=False, path_length=None), True)
                   .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                                  False)
                   .add_extension(x509.SubjectAlternativeName(alt), False))
        if not self_signed:
            builder = builder.add_extension(
                x509.AuthorityKeyIdentifier.from_issuer_public_key(self.key.public_key()), False)
        cert = builder.sign(key if self_signed else self.key, hashes.SHA256())
        cert_path = os.path.join(self.folder, f"{name}.pem")
        key_path = os.path.join(self.folder, f"{name}.key")
        self._write(cert_path, self._pem(cert))
        self._write(key_path, key.private_bytes(serialization.Encoding.PEM,
                                                serialization.PrivateFormat.PKCS8,
                                                serialization.NoEncryption()))
        return cert_path, key_path, not_after


class TlsNginx(Nginx):
    """nginx with one server a site on 127.0.0.1: sites maps a name to (certificate, key) for
    TLS or None for plain HTTP; port_of[name] is its port. Every site answers /status/NNN with
    that status (200, 404, 503), /slow through the upstream port given (which takes its time)
    and anything else with 200. The access log notes the TLS protocol of each request."""

    def __init__(self, root, log_dir, sites, upstream=None, name="nginx-tls"):
        super().__init__(root, log_dir, hosts=("127.0.0.1",) * len(sites), name=name)
        self.sites = dict(sites)
        self.upstream = upstream
        self.port_of = {}

    def _config(self):
        user = "user root;\n" if os.geteuid() == 0 else ""
        r = self.root
        self.port_of = dict(zip(self.sites, self.ports))
        servers = ""
        for site, files in self.sites.items():
            tls = ""
            if files:
                tls = (f" ssl;\n        ssl_certificate {files[0]};\n"
                       f"        ssl_certificate_key {files[1]};\n"
                       "        ssl_protocols TLSv1.2 TLSv1.3")
            slow = f"        location /slow {{ proxy_pass http://127.0.0.1:{self.upstream}; }}\n" \
                if self.upstream else ""
            statuses = "".join(f"        location = /status/{s} {{ return {s}; }}\n"
                               for s in (200, 404, 503))
            servers += (f"    server {{\n        listen 127.0.0.1:{self.port_of[site]}{tls};\n"
                        f"{statuses}{slow}"
                        "        location / { return 200 \"vennatro e2e\\n\"; }\n    }\n")
        return f"""{user}daemon off;
worker_processes 1;
pid {r}/nginx.pid;
error_log {r}/error.log info;
events {{ worker_connections 64; }}
http {{
    log_format e2e '$request\\t$http_host\\t$http_user_agent\\t$status'
                   '\\t$server_addr\\t$server_port\\t$ssl_protocol';
    access_log {r}/access.log e2e;
    client_body_temp_path {r}/tmp/body;
    proxy_temp_path {r}/tmp/proxy;
    fastcgi_temp_path {r}/tmp/fastcgi;
    uwsgi_temp_path {r}/tmp/uwsgi;
    scgi_temp_path {r}/tmp/scgi;
{servers}}}
"""

    def _answers(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"nginx ended with status {self.proc.returncode}")
        for port in self.ports:
            with socket.create_connection(("127.0.0.1", port), timeout=2):
                pass
        return True

    def requests(self):
        """As Nginx's, with "tls": the protocol of the request ("TLSv1.3"; "" for plain)."""
        try:
            with open(self.access_log, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            parts = line.split("\t")
            if len(parts) != 7:
                continue
            request, host, agent, status, addr, port, tls = parts
            words = request.split(" ")
            out.append({"request": request, "method": words[0] if words else "",
                        "path": words[1] if len(words) > 1 else "", "host": host,
                        "agent": agent, "status": status, "addr": addr, "port": port,
                        "tls": "" if tls == "-" else tls})
        return out


class SlowUpstream(_ThreadedServer):
    """Answers every request with 200 after delay seconds."""

    def __init__(self, delay):
        super().__init__()
        self.delay = delay

    def serve(self, conn):
        _read_until(conn, b"\r\n\r\n")
        if self._stop.wait(self.delay):
            return
        conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")
        conn.close()


class SilentServer(_ThreadedServer):
    """Takes every connection and never says a word."""

    def serve(self, conn):
        self._stop.wait(60)


class BlackboxExporter(_LoopbackDaemon):
    """Debian's prometheus-blackbox-exporter with the module http_2xx (GET, 2xx, HTTP/1.1 and
    TLS verified against the authority given)."""

    program = "prometheus-blackbox-exporter"
    package = "prometheus-blackbox-exporter"
    ready_path = "/metrics"

    def __init__(self, root, log_dir, authority):
        super().__init__(root, log_dir, "blackbox-exporter")
        self.authority = authority

    def argv(self, binary):
        config = os.path.join(self.root, "blackbox.yml")
        with open(config, "w") as f:
            f.write("modules:\n  http_2xx:\n    prober: http\n    timeout: 5s\n    http:\n"
                    f"      tls_config:\n        ca_file: {self.authority}\n")
        return [binary, f"--config.file={config}",
                f"--web.listen-address=127.0.0.1:{self.port}"]

    def probe(self, target):
        """(seconds the answer took, {sample name: value}) of /probe?target=..."""
        return timed_probe(self.url("/probe?" + urllib.parse.urlencode(
            {"module": "http_2xx", "target": target})))


def timed_probe(url, timeout=15):
    """(seconds, {name: value text}) of a /probe answer: the samples without labels."""
    started = time.monotonic()
    status, _, body = http_get(url, timeout=timeout)
    took = time.monotonic() - started
    if status != 200:
        raise AssertionError(f"GET {url}: HTTP {status}: {body[:300]}")
    values = {}
    for line in body.splitlines():
        if line and not line.startswith("#") and "{" not in line.split(" ")[0]:
            name, _, value = line.partition(" ")
            values[name] = value
    return took, values
