"""The "mail" suite: the failure and recovery e-mails through a real mail server, Debian's exim
(exim.py), with STARTTLS, LOGIN inside TLS, a refusing ACL and deliveries into a maildir.

    test_desktop.py --program build/vennatro --suite mail

One window run covers an outage from start to end (the failure e-mail, an error ping address
that fails too, a second failure that sends nothing, a restart that sends nothing either, the
recovery); then a run each for a
refused recipient and the "SMTP security" modes. Every run starts from a store written here
and ends with Alt+X.
"""

import datetime
import email.utils
import os
import re
import socket
import time

import store
from desktop import wait_for
from exim import REFUSAL, Exim, make_certificate
from servers import ClosedPort, Nginx
from test_desktop import WAIT, Scenario, _Closer, scramble

SMTP_USER = "e2e-user"
SMTP_PASSWORD = "Pass 9% {word}"
DOMAIN = "example.test"
MAIL_TO = f"ops@{DOMAIN}"
MAIL_FROM_ADDRESS = f"vennatro@{DOMAIN}"
MAIL_FROM = f"Vennatro Wächter <{MAIL_FROM_ADDRESS}>"  # a display name that needs encoding
REFUSED_TO = "ops@elsewhere.test"  # a domain exim does not take mail for
FAILURE_SUBJECT = "Vennatro - Ping failure notification"
RECOVERY_SUBJECT = "Vennatro - Ping recovery notification"
MAIL_WAIT = 40  # seconds: an e-mail's exchange is bounded by 15 s (connect) and 30 s (stall)
FLOOD_WINDOW = 20  # seconds watched for e-mails after one failure of an address and its error ping
STAMP = r"\[([^\]\r\n]+)\]"
# The program's headers in the order it writes them; exim puts its own above them.
PROGRAM_HEADERS = ["From", "To", "Subject", "Date", "Message-ID", "X-Mailer", "MIME-Version",
                   "Content-Type", "Content-Transfer-Encoding"]
EXIM_HEADERS = ["Return-path", "Envelope-to", "Delivery-date", "Received"]


def error_line(port):
    """The log's error entry of a refused connection to 127.0.0.1:port (stamp as group 1)."""
    return (rf"{STAMP} Error connecting to \[127\.0\.0\.1\] \(port {port}\): "
            r"Connection refused \(10061\)\.\r\n")


def ehlo_name():
    """The name the program gives in its EHLO: the host name when it is a plain one."""
    name = socket.gethostname()
    plain = name and re.fullmatch(r"[A-Za-z0-9.-]+", name) and not name.startswith(".") \
        and not name.endswith(".") and ".." not in name
    return name if plain else "localhost"


class MailScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"e-mail alerts through exim, tray host {args.tray}"
        self.exim = None  # STARTTLS, LOGIN inside TLS, and a port with TLS from the first byte
        self.plain_exim = None  # no TLS at all
        self.down = None  # the outage's port: refused, then nginx
        self.error_port = None  # the error ping address's port: refused throughout
        self.refused = None  # the other runs' pinged port: refused throughout
        self.nginx = None
        self.computer = socket.gethostname()
        self.outage = {}  # what the outage steps hand on to each other

    def setup(self):
        super().setup()
        self.exim = Exim(self.desktop.log_dir, "exim", SMTP_USER, SMTP_PASSWORD, DOMAIN,
                         starttls=True, implicit_tls=True)
        self.servers.append(self.exim)
        self.exim.start(self.desktop.env)
        self.plain_exim = Exim(self.desktop.log_dir, "exim-plain", SMTP_USER, SMTP_PASSWORD,
                               DOMAIN, starttls=False)
        self.servers.append(self.plain_exim)
        self.plain_exim.start(self.desktop.env)
        for name in ("down", "error_port", "refused"):
            port = ClosedPort()
            self.servers.append(_Closer(port))
            setattr(self, name, port)

    def steps(self):
        return [
            ("security 0: the failure e-mail over STARTTLS with LOGIN; envelope, headers, body",
             self.failure_mail),
            ("an error ping address that fails too: one e-mail, one error ping in 20 s",
             self.no_flood),
            ("still down: the next failure says the alert went out, sends nothing",
             self.alert_held),
            ("a restart while still down: no second e-mail, the alert's time kept",
             self.restart_held),
            ("answers again: a restored notification and a recovery e-mail", self.recovery),
            ("a recipient exim refuses: its 550 reason in the log line", self.refused_recipient),
            ("security 2 (SSL/TLS): TLS from the first byte, delivered", self.implicit_tls),
            ("security 0, a certificate the program does not trust: no mail, no log-on",
             self.untrusted_certificate),
            ("security 1 against a server without STARTTLS: nothing sent, a clear log line",
             self.starttls_required),
            ("security 3 (none): no TLS though offered, so no log-on; the refusal logged",
             self.no_tls),
        ]

    def context(self):
        parts = [super().context()]
        for server in (self.exim, self.plain_exim):
            if server and server.root:
                parts.append(server.report())
        return "\n".join(parts)

    # -- helpers -------------------------------------------------------------------------

    def address(self, port, path):
        return f"http://127.0.0.1:{port}{path}"

    def start_run(self, name, cert_file, **values):
        """A fresh window over a store with the mail settings (and values), its own log file;
        only the authorities of cert_file are trusted."""
        p = self.program
        if p.running():
            p.kill()  # left over from a failed step: a second start would only wake it
        self.log_path = os.path.join(self.root, "vlog", f"{name}.log")
        settings = {
            "HTTP port": self.refused.port, "HTTPS port": self.refused.port,
            "Ping attempts": 1, "Ping timeout": 10, "Save log": 1, "Log file": self.log_path,
            "Show notifications": 0, "Send email on error": 1, "Error email address": MAIL_TO,
            "From address": MAIL_FROM, "SMTP server": "127.0.0.1", "SMTP port": self.exim.port,
            "SMTP user": SMTP_USER, "SMTP password": scramble(SMTP_PASSWORD),
            "SMTP security": 0, "Ping on error": 0,
        }
        settings.update(values)
        store.write_store(self.config_home, settings)
        p.start(extra_env={"SSL_CERT_FILE": cert_file, "SSL_CERT_DIR": ""})
        p.wait_main_window(30)
        self.wait_log(r"Session started at \[")

    def count(self, pattern):
        return len(re.findall(pattern, self.read_log_file() or ""))

    def mail_failed_line(self):
        """The one "Error sending notification email" line of this run, its text."""
        lines = self.wait_log(r"Error sending notification email: ([^\r\n]*)\r\n",
                              timeout=MAIL_WAIT)
        assert len(lines) == 1, f"{len(lines)} failure lines: {lines}"
        assert self.count(r"sucessfully") == 0, "a refused e-mail was logged as sent"
        return lines[0]

    def wait_messages(self, server, count):
        def probe():
            found = server.messages()
            if len(found) > count:
                raise AssertionError(f"{len(found)} messages delivered, wanted {count}")
            return found if len(found) == count else None
        try:
            return wait_for(probe, MAIL_WAIT, f"{count} message(s) in {server.name}'s maildir")
        except AssertionError:
            found = server.messages()
            if len(found) > count:
                raise AssertionError(f"{len(found)} messages delivered, wanted {count}")
            raise

    def check_received(self, line, port):
        """exim's "<=" line: the sender, the EHLO name, TLS, the log-on, the port it came in
        on, the recipient."""
        assert f"<= {MAIL_FROM_ADDRESS} H=({ehlo_name()}) [127.0.0.1]:" in line, \
            f"sender or EHLO name: {line}"
        assert re.search(r" P=esmtpsa ", line), f"not ESMTP with TLS and a log-on: {line}"
        assert re.search(r" X=TLS1\.[23]:\S+", line), f"no TLS cipher: {line}"
        assert f" A=login:{SMTP_USER} " in line, f"no LOGIN log-on as {SMTP_USER}: {line}"
        assert f" I=[127.0.0.1]:{port} " in line, f"not taken on port {port}: {line}"
        assert line.endswith(f" for {MAIL_TO}"), f"recipient: {line}"

    def check_message(self, msg, subject):
        """Envelope and headers of a delivered message; returns its body (LF line ends: exim
        stores messages the Unix way)."""
        names = [name for name, _ in msg.raw_items()]
        assert names == EXIM_HEADERS + PROGRAM_HEADERS, f"headers {names}"
        # The values as they stand in the file, lines unfolded; From decoded as well.
        h = {name: re.sub(r"\r?\n[ \t]", " ", value) for name, value in msg.raw_items()}
        h["From"] = str(msg["From"])
        raw_from = re.search(rb"^From: (.*)$", msg.raw, re.M).group(1)
        want = {
            "Return-path": f"<{MAIL_FROM_ADDRESS}>", "Envelope-to": MAIL_TO,
            "From": MAIL_FROM, "To": MAIL_TO, "Subject": subject, "MIME-Version": "1.0",
            "Content-Type": "text/plain; charset=UTF-8", "Content-Transfer-Encoding": "8bit",
        }
        wrong = {k: (v, h.get(k)) for k, v in want.items() if h.get(k) != v}
        assert not wrong, f"headers (wanted, got): {wrong}"
        assert raw_from.upper().startswith(b"=?UTF-8?") and raw_from.isascii(), \
            f"the display name is not an encoded word: {raw_from!r}"
        sent = email.utils.parsedate_to_datetime(h["Date"])
        age = time.time() - sent.timestamp()
        assert -60 < age < 300, f"Date {h['Date']!r} is {age:.0f} s from now"
        assert re.fullmatch(r"<[^<>@\s]+@[^<>@\s]+>", h["Message-ID"]), \
            f"Message-ID {h['Message-ID']!r}"
        assert re.fullmatch(r"Vennatro 1\.0\.1\S*( .*)?", h["X-Mailer"]), \
            f"X-Mailer {h['X-Mailer']!r}"
        assert "with esmtpsa" in h["Received"], f"Received {h['Received']!r}"
        body = msg.raw.split(b"\n\n", 1)[1]
        return body.decode("utf-8")

    # -- one outage, start to end --------------------------------------------------------

    def failure_mail(self):
        down = self.address(self.down.port, "/e2e-down")
        errping = self.address(self.error_port.port, "/e2e-errorping")
        self.outage = {"address": down, "errping": errping}
        self.start_run("outage", self.exim.cert, **{"Ping on error": 1,
                                                    "Error ping address": errping})
        self.outage["t0"] = time.monotonic()
        self.set_address(down, "Return")
        first = self.wait_log(error_line(self.down.port))
        self.outage["t_fail"] = time.monotonic()
        self.outage["stamp"] = first[0]
        self.wait_log(r"Sending email to failure notification address \[" +
                      re.escape(MAIL_TO) + r"\]\.\.\.")
        self.wait_log(r"Notification email sent sucessfully\.\r\n", timeout=MAIL_WAIT)
        text = self.read_log_file()
        order = [text.find(f"(port {self.down.port}): Connection refused"),
                 text.find("Sending email to failure notification address"),
                 text.find("Notification email sent sucessfully.")]
        assert order == sorted(order), f"log entries out of order: {order}"
        (msg,) = self.wait_messages(self.exim, 1)
        received = self.exim.received()
        assert len(received) == 1, received
        self.check_received(received[0], self.exim.port)
        body = self.check_message(msg, FAILURE_SUBJECT)
        msg_id = str(msg["Message-ID"]).strip("<>")
        assert f" id={msg_id} " in received[0], f"exim took another message: {received[0]}"
        m = re.fullmatch(
            rf"This is an automatic notification from Vennatro at {re.escape(self.computer)}"
            rf"\.\n\n{STAMP} Error connecting to \[127\.0\.0\.1\] \(port {self.down.port}\): "
            r"Connection refused \(10061\)\.\n", body)
        assert m, f"body {body!r}"
        assert same_second(m.group(1), first[0]), \
            f"the e-mail's stamp {m.group(1)!r} is not the error's {first[0]!r}"

    def no_flood(self):
        o = self.outage
        if not (o and self.program.running()):
            raise AssertionError("the outage run is not under way (see the step before)")
        self.wait_log(r"Starting ping to failure notification address \[" +
                      re.escape(o["errping"]) + r"\]\.\.\.")
        self.wait_log(error_line(self.error_port.port))
        limits = {"e-mails started": (r"Sending email to failure notification address", 1),
                  "error pings started": (r"Starting ping to failure notification address", 1),
                  "error lines": (r"Error connecting to \[", 2)}

        def over_limit():
            for what, (pattern, most) in limits.items():
                n = self.count(pattern)
                assert n <= most, f"{n} {what} within {FLOOD_WINDOW} s of one failure"
            n = len(self.exim.received())
            assert n <= 1, f"exim took {n} messages within {FLOOD_WINDOW} s of one failure"
        # No event marks a flood that does not come: watch the window, failing at its start.
        while time.monotonic() < o["t0"] + FLOOD_WINDOW:
            self.program.assert_running(" while the window was watched")
            over_limit()
            time.sleep(0.2)
        over_limit()
        assert len(self.exim.messages()) == 1, f"{len(self.exim.messages())} messages"
        assert self.count(error_line(self.down.port)) == 1
        assert self.count(error_line(self.error_port.port)) == 1
        assert self.count(r"already sent at") == 0, \
            "the error ping's failure was treated as an alert of its own"
        return f"watched {FLOOD_WINDOW} s from the ping"

    def alert_held(self):
        o = self.outage
        if not (o and self.program.running()):
            raise AssertionError("the outage run is not under way (see the steps before)")
        self.set_address(o["address"], "Return")
        self.wait_log(error_line(self.down.port), count=2)
        (stamp,) = self.wait_log(r"Alert for \[" + re.escape(o["address"]) +
                                 rf"\] already sent at ([^\r\n;]+); not repeated\.\r\n")
        assert same_second(stamp, o["stamp"]), \
            f"held since {stamp!r}, but the alert went out at {o['stamp']!r}"
        # The held entry is written where the e-mail would start, and the error ping would
        # follow in the same turn: neither came.
        assert self.count(r"Sending email to failure notification address") == 1
        assert self.count(r"Starting ping to failure notification address") == 1
        assert len(self.exim.received()) == 1, self.exim.received()

    def restart_held(self):
        o = self.outage
        if not (o and self.program.running()):
            raise AssertionError("the outage run is not under way (see the steps before)")
        self.exit_with_alt_x()
        # The same store and log file: the history keeps the outage's alert state.
        self.start_run("outage", self.exim.cert, **{"Ping on error": 1,
                                                    "Error ping address": o["errping"]})
        self.wait_log(r"Session started at \[", count=2)
        self.set_address(o["address"], "Return")
        self.wait_log(error_line(self.down.port), count=3)
        held = self.wait_log(r"Alert for \[" + re.escape(o["address"]) +
                             rf"\] already sent at ([^\r\n;]+); not repeated\.\r\n", count=2)
        assert same_second(held[-1], o["stamp"]), \
            f"held since {held[-1]!r}, but the alert went out at {o['stamp']!r}"
        assert self.count(r"Sending email to failure notification address") == 1
        assert len(self.exim.received()) == 1, self.exim.received()

    def recovery(self):
        o = self.outage
        if not (o and self.program.running()):
            raise AssertionError("the outage run is not under way (see the steps before)")
        self.down.close()
        self.nginx = Nginx(self.root, self.desktop.log_dir, fixed_ports=[self.down.port])
        self.servers.append(self.nginx)
        self.nginx.start(self.desktop.env)
        t_again = time.monotonic()
        self.set_address(o["address"], "Return")
        self.wait_log(rf"{STAMP} Connection to \[{re.escape(o['address'])}\] "
                      rf"\(port {self.down.port}\) completed in \d+\.\d{{3}} seconds\.\r\n")
        t_done = time.monotonic()
        # Shown although "Show notifications" is off: the outage was alerted.
        note = self.wait_notification("Ping OK", f"Connection to [{o['address']}] restored")
        m = re.fullmatch(rf"Connection to \[{re.escape(o['address'])}\] restored after "
                         r"(\d+) s\.", note.get("body") or "")
        assert m, f"notification body {note.get('body')!r}"
        down = int(m.group(1))
        low, high = int(t_again - o["t_fail"]) - 1, int(t_done - o["t0"]) + 1
        assert low <= down <= high, f"down {down} s, the test saw {low}..{high} s"
        self.wait_log(r"Notification email sent sucessfully\.\r\n", count=2, timeout=MAIL_WAIT)
        first, second = self.wait_messages(self.exim, 2)
        assert str(first["Subject"]) == FAILURE_SUBJECT, first["Subject"]
        body = self.check_message(second, RECOVERY_SUBJECT)
        m = re.fullmatch(
            rf"This is an automatic notification from Vennatro at {re.escape(self.computer)}"
            rf"\.\n\n{STAMP} Connection to \[{re.escape(o['address'])}\] restored after "
            rf"{down} s\.\n", body)
        assert m, f"body {body!r}"
        received = self.exim.received()
        assert len(received) == 2, received
        self.check_received(received[1], self.exim.port)
        assert self.count(r"Sending email to failure notification address") == 2
        assert self.count(r"Starting ping to failure notification address") == 1, \
            "the recovery started an error ping"
        reqs = [r for r in self.nginx.requests() if r["path"] == "/e2e-down"]
        assert len(reqs) == 1, f"requests at nginx: {reqs}"
        self.exit_with_alt_x()
        return f"down {down} s"

    # -- one run each --------------------------------------------------------------------

    def ping_refused(self, path):
        self.set_address(self.address(self.refused.port, path), "Return")
        self.wait_log(error_line(self.refused.port))

    def refused_recipient(self):
        before = len(self.exim.received())
        self.start_run("refused-recipient", self.exim.cert, **{"Error email address": REFUSED_TO})
        self.ping_refused("/e2e-refused-recipient")
        text = self.mail_failed_line()
        assert re.search(rf"\b550[ -](5\.\d\.\d+ )?{re.escape(REFUSAL)}\b", text), \
            f"exim's reason is not in the line: {text!r}"
        # The reply to the refused command, not the goodbye.
        assert "221" not in text and "closing connection" not in text, \
            f"the line quotes the reply to QUIT: {text!r}"
        wait_for(lambda: f"rejected RCPT <{REFUSED_TO}>: {REFUSAL}" in self.exim.log("reject"),
                 WAIT, "exim's rejectlog to name the recipient")
        assert len(self.exim.received()) == before, "exim took a message"
        self.exit_with_alt_x()
        return text

    def implicit_tls(self):
        before = len(self.exim.messages())
        self.start_run("implicit-tls", self.exim.cert, **{"SMTP security": 2,
                                                          "SMTP port": self.exim.tls_port})
        self.ping_refused("/e2e-implicit-tls")
        self.wait_log(r"Notification email sent sucessfully\.\r\n", timeout=MAIL_WAIT)
        msg = self.wait_messages(self.exim, before + 1)[-1]
        self.check_received(self.exim.received()[-1], self.exim.tls_port)
        body = self.check_message(msg, FAILURE_SUBJECT)
        assert f"(port {self.refused.port}): Connection refused (10061)." in body, body
        self.exit_with_alt_x()

    def untrusted_certificate(self):
        other, _ = make_certificate(os.path.join(self.root, "untrusted"), "other")
        received = len(self.exim.received())
        logons = self.exim.log().count(" A=login:")
        self.start_run("untrusted", other)
        self.ping_refused("/e2e-untrusted")
        text = self.mail_failed_line()
        assert re.search(r"certificate", text, re.I), f"no word of the certificate: {text!r}"
        helo = ehlo_name()
        wait_for(lambda: re.search(rf"TLS error on connection from \({re.escape(helo)}\) "
                                   r"\[127\.0\.0\.1\]", self.exim.log()),
                 WAIT, "exim to log the broken-off TLS handshake")
        assert len(self.exim.received()) == received, "exim took a message"
        assert self.exim.log().count(" A=login:") == logons, "the program logged on"
        self.exit_with_alt_x()
        return text

    def starttls_required(self):
        self.start_run("starttls-required", self.exim.cert,
                       **{"SMTP security": 1, "SMTP port": self.plain_exim.port})
        self.ping_refused("/e2e-starttls-required")
        text = self.mail_failed_line()
        assert re.search(r"STARTTLS|TLS|SSL", text), f"the line does not say why: {text!r}"
        ended = re.compile(rf"SMTP connection from \({re.escape(ehlo_name())}\) "
                           r"\[127\.0\.0\.1\]:\d+ (I=\S+ )?(closed|lost)")

        def connection_ended():
            text = self.plain_exim.log()
            return text if ended.search(text) else None
        log = wait_for(connection_ended, WAIT,
                       "exim-plain to log the end of the program's connection")
        assert not self.plain_exim.received(), "the server without TLS took a message"
        assert not self.plain_exim.messages()
        assert "AUTH" not in log and "A=" not in log, "a log-on went out in the clear"
        self.exit_with_alt_x()
        return text

    def no_tls(self):
        received = len(self.exim.received())
        self.start_run("no-tls", self.exim.cert, **{"SMTP security": 3})
        self.ping_refused("/e2e-no-tls")
        text = self.mail_failed_line()
        assert "authentication required" in text, f"exim's refusal is not in the line: {text!r}"
        helo = ehlo_name()
        line = wait_for(lambda: [l for l in self.exim.log("reject").splitlines()
                                 if f"H=({helo})" in l and "authentication required" in l],
                        WAIT, "exim's rejectlog to show the refused recipient")[-1]
        assert " X=" not in line, f"TLS was started: {line}"
        assert " A=" not in line, f"a log-on was made: {line}"
        assert len(self.exim.received()) == received, "exim took a message"
        self.exit_with_alt_x()
        return text


def stamp_time(stamp):
    """A log time stamp ("8 Dec 2026 00:57:05 UTC" in the C locale the desktop runs in) as a
    datetime, or None for another form."""
    m = re.fullmatch(r"(\d{1,2} [A-Z][a-z]{2} \d{4} \d{2}:\d{2}:\d{2})( \S+)?", stamp)
    return datetime.datetime.strptime(m.group(1), "%d %b %Y %H:%M:%S") if m else None


def same_second(a, b):
    """Two of the program's time stamps taken a moment apart: equal, or one second apart."""
    if a == b:
        return True
    ta, tb = stamp_time(a), stamp_time(b)
    return bool(ta and tb) and abs((ta - tb).total_seconds()) <= 1
