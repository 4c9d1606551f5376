"""Debian's exim (exim4-daemon-light) as a private mail server for the end-to-end checks.

Each Exim is a foreground daemon (exim -C <own file> -bdf) on free 127.0.0.1 ports with a
configuration, spool, log and mailbox folder of its own, stopped by its PID. Debian's exim takes
-C from root and keeps root only to bind and start; taking a message it runs as its own user
(Debian-exim), and so does the delivery (the daemon re-executes itself, and an alternate
configuration costs that run its root privilege: exim notes "exim user lost privilege for using
-C option" in its panic log, which is expected). Hence the folder is a temporary one of its own,
owned by that user: the work folder of the checks is 0700 and closed to it.

What it does:
- accepts mail for one local domain into a maildir (one file a message), any other recipient
  domain is refused at RCPT with "550 no such mailbox here";
- advertises STARTTLS (unless told not to) with a certificate made here by openssl for
  127.0.0.1 and localhost, and optionally a second port with TLS from the first byte;
- advertises AUTH LOGIN only inside TLS and accepts one fixed user and password; a recipient
  needs a log-on;
- looks up nothing in DNS (no host lookups, no ident callbacks, no sender checks).
"""

import email
import email.policy
import os
import pwd
import re
import shutil
import smtplib
import socket
import ssl
import subprocess
import tempfile

from desktop import PROCESSES, free_port, wait_for
from servers import require_program

EXIM_USER = "Debian-exim"
REFUSAL = "no such mailbox here"


def make_certificate(folder, name, owner=None):
    """A self-signed certificate for 127.0.0.1 and localhost: (certificate path, key path).
    owner: (uid, gid) that must be able to read the key."""
    openssl = require_program("openssl", "openssl")
    os.makedirs(folder, exist_ok=True)
    cert = os.path.join(folder, f"{name}.pem")
    key = os.path.join(folder, f"{name}.key")
    subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", f"/CN=127.0.0.1/O=Vennatro e2e {name}",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True, timeout=30, stdin=subprocess.DEVNULL)
    os.chmod(cert, 0o644)
    os.chmod(key, 0o600)
    if owner:
        os.chown(key, *owner)
    return cert, key


def _exim_string(text):
    """text inside an exim expansion: backslash, dollar and braces quoted."""
    return re.sub(r"([\\${}])", r"\\\1", text)


class Exim:
    """starttls: advertise STARTTLS on port. implicit_tls: a second port, tls_port, where TLS
    starts with the first byte. user/password: the one log-on it accepts (LOGIN, inside TLS).
    domain: the one recipient domain it delivers."""

    def __init__(self, log_dir, name, user, password, domain="example.test", starttls=True,
                 implicit_tls=False):
        self.log_dir = log_dir
        self.name = name
        self.user = user
        self.password = password
        self.domain = domain
        self.starttls = starttls
        self.implicit_tls = implicit_tls
        self.port = None
        self.tls_port = None
        self.proc = None
        self.root = None
        self.cert = None
        self.key = None

    # -- files ---------------------------------------------------------------------------

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def _config(self):
        ports = f"{self.port} : {self.tls_port}" if self.implicit_tls else str(self.port)
        tls = ""
        if self.starttls or self.implicit_tls:
            tls = (f"tls_certificate = {self.cert}\n"
                   f"tls_privatekey = {self.key}\n")
        advertise = "*" if self.starttls else ""
        on_connect = f"tls_on_connect_ports = {self.tls_port}\n" if self.implicit_tls else ""
        user = _exim_string(self.user)
        password = _exim_string(self.password)
        condition = ("${if and {{eq{$auth1}{" + user + "}}{eq{$auth2}{" + password + "}}}}")
        return f"""# Written by the end-to-end checks for one run.
primary_hostname = exim.e2e.test
qualify_domain = {self.domain}
domainlist local_domains = {self.domain}
exim_user = {EXIM_USER}
exim_group = {EXIM_USER}
spool_directory = {self.path('spool')}
log_file_path = {self.path('log')}/%slog
pid_file_path = {self.path('exim.pid')}
local_interfaces = <; 127.0.0.1
daemon_smtp_ports = {ports}
{on_connect}# Nothing leaves the machine: no reverse lookups, no ident callbacks.
host_lookup =
rfc1413_hosts =
keep_environment =
log_selector = +tls_cipher +tls_peerdn +received_recipients +smtp_connection \\
    +smtp_protocol_error +smtp_syntax_error +incoming_port +incoming_interface
tls_advertise_hosts = {advertise}
{tls}acl_smtp_rcpt = check_rcpt

begin acl

check_rcpt:
  deny    message = {REFUSAL}
          !domains = +local_domains
  accept  authenticated = *
  deny    message = authentication required

begin routers

local_mailbox:
  driver = accept
  domains = +local_domains
  transport = maildir

begin transports

maildir:
  driver = appendfile
  directory = {self.path('maildir')}
  maildir_format
  user = {EXIM_USER}
  group = {EXIM_USER}
  mode = 0640
  envelope_to_add
  return_path_add
  delivery_date_add

begin authenticators

login:
  driver = plaintext
  public_name = LOGIN
  server_prompts = Username:: : Password::
  server_condition = {condition}
  server_set_id = $auth1
  server_advertise_condition = ${{if def:tls_in_cipher}}

begin retry

*   *   F,1m,1m
"""

    # -- life ----------------------------------------------------------------------------

    def start(self, env):
        binary = require_program("exim", "exim4-daemon-light")
        if os.geteuid() != 0:
            raise AssertionError("exim needs root here: only root may give it a configuration "
                                 "of its own and keep the privilege to run as Debian-exim")
        try:
            ids = pwd.getpwnam(EXIM_USER)
        except KeyError:
            raise AssertionError(f"no user {EXIM_USER}: install exim4-daemon-light")
        owner = (ids.pw_uid, ids.pw_gid)
        self.root = tempfile.mkdtemp(prefix=f"vennatro-e2e-{self.name}-")
        for sub in ("spool", "log", "maildir"):
            os.makedirs(self.path(sub))
        for folder in (self.root, self.path("spool"), self.path("log"), self.path("maildir")):
            os.chown(folder, *owner)
        self.cert, self.key = make_certificate(self.root, "server", owner)
        conf = self.path("exim.conf")
        last = None
        for _ in range(3):  # a free port may be taken between the probe and exim's bind
            self.port = free_port()
            self.tls_port = free_port() if self.implicit_tls else None
            with open(conf, "w") as f:
                f.write(self._config())
            os.chmod(conf, 0o644)
            self.proc = PROCESSES.start(self.name, [binary, "-C", conf, "-bdf"], env,
                                        self.log_dir)
            try:
                wait_for(self._greets, 20, f"{self.name} to greet on 127.0.0.1:{self.port}")
                self._check_offer()
                return self
            except AssertionError as e:
                last = e
                PROCESSES.stop(self.proc)
                self.proc = None
        raise AssertionError(f"{self.name} did not start: {last}; its output: {self.output()}; "
                             f"panic log: {self.log('panic')}")

    def _greets(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"{self.name} ended with status {self.proc.returncode}")
        with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
            s.settimeout(5)
            if not s.recv(256).startswith(b"220 "):
                return False
            s.sendall(b"QUIT\r\n")
            s.recv(256)
        if self.tls_port:
            # A whole handshake and greeting: a bare connect would leave a TLS error in the log.
            context = ssl.create_default_context(cafile=self.cert)
            with socket.create_connection(("127.0.0.1", self.tls_port), timeout=2) as raw:
                with context.wrap_socket(raw, server_hostname="127.0.0.1") as s:
                    s.settimeout(5)
                    if not s.recv(256).startswith(b"220 "):
                        return False
                    s.sendall(b"QUIT\r\n")
                    s.recv(256)
        return True

    def _check_offer(self):
        """The server offers what the checks rely on: STARTTLS as configured, and LOGIN only
        inside TLS (so a log-on can never go out in the clear)."""
        with smtplib.SMTP("127.0.0.1", self.port, local_hostname="harness.e2e.test",
                          timeout=10) as smtp:
            smtp.ehlo()
            if smtp.has_extn("auth"):
                raise AssertionError(f"{self.name} offers AUTH before TLS")
            if smtp.has_extn("starttls") != self.starttls:
                raise AssertionError(f"{self.name}: STARTTLS offered = "
                                     f"{smtp.has_extn('starttls')}, wanted {self.starttls}")
            if self.starttls:
                smtp.starttls(context=ssl.create_default_context(cafile=self.cert))
                smtp.ehlo()
                auth = smtp.esmtp_features.get("auth", "")
                if "LOGIN" not in auth.split():
                    raise AssertionError(f"{self.name} offers no LOGIN inside TLS: {auth!r}")

    def stop(self):
        if self.proc:
            PROCESSES.stop(self.proc)
            self.proc = None
        if self.root and os.path.isdir(self.root):
            if os.environ.get("VENNATRO_E2E_KEEP"):
                print(f"({self.name} folder kept: {self.root})")
            else:
                shutil.rmtree(self.root, ignore_errors=True)

    # -- what it saw ---------------------------------------------------------------------

    def log(self, which="main"):
        """Its mainlog, rejectlog or paniclog text ("" when there is none yet)."""
        try:
            with open(self.path("log", f"{which}log"), "rb") as f:
                return f.read().decode("utf-8", errors="replace")
        except (OSError, TypeError):
            return ""

    def received(self):
        """The mainlog's lines of messages taken ("<=")."""
        return [line for line in self.log().splitlines() if " <= " in line]

    def message_files(self):
        """The delivered messages' files, oldest first."""
        out = []
        for sub in ("new", "cur"):
            folder = self.path("maildir", sub)
            if os.path.isdir(folder):
                out += [os.path.join(folder, n) for n in os.listdir(folder)
                        if not n.startswith(".")]
        return sorted(out, key=lambda p: (os.stat(p).st_mtime_ns, os.path.basename(p)))

    def messages(self):
        """The delivered messages, parsed; .raw holds the file's bytes."""
        out = []
        for path in self.message_files():
            with open(path, "rb") as f:
                raw = f.read()
            msg = email.message_from_bytes(raw, policy=email.policy.default)
            msg.raw = raw
            out.append(msg)
        return out

    def output(self, limit=2000):
        try:
            with open(os.path.join(self.log_dir, f"{self.name}.out"), "rb") as f:
                return f.read()[-limit:].decode(errors="replace") or "(none)"
        except OSError:
            return "(none)"

    def report(self):
        """Its logs and mailbox, for the report of a failure."""
        parts = [f"--- {self.name} (port {self.port}"
                 + (f", TLS port {self.tls_port}" if self.tls_port else "") + ") mainlog:\n"
                 + self.log()[-3000:]]
        for which in ("reject", "panic"):
            text = self.log(which)
            if text:
                parts.append(f"--- {self.name} {which}log:\n{text[-1500:]}")
        files = [os.path.basename(p) for p in self.message_files()] if self.root else []
        parts.append(f"--- {self.name} maildir: {files}")
        return "\n".join(parts)
