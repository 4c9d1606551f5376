"""The running window as a screen reader finds it, over AT-SPI: the suite "a11y".

    test_desktop.py --program build/vennatro --tray xembed --suite a11y

The desktop gets an accessibility bus (at-spi-bus-launcher, Debian's at-spi2-core), the
program runs with Qt's AT-SPI bridge on (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1), and
atspi_tree.py reads its window.
"""

import json
import os
import re
import subprocess

import store
from desktop import wait_for
from servers import ClosedPort
from test_desktop import WAIT, Scenario, _Closer

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_tree.py")
# A cell's name is its content, which may be empty.
CONTENT_ROLES = {"table cell", "table column header", "table row header"}


class A11yScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"the window over AT-SPI, tray host {args.tray}"
        self.tree, self.heard, self.closed = [], [], None

    def setup(self):
        super().setup()
        assert os.access(LAUNCHER, os.X_OK), f"{LAUNCHER} is missing (Debian: at-spi2-core)"
        self.desktop._spawn("at-spi-bus-launcher", [LAUNCHER, "--launch-immediately"])
        wait_for(lambda: self.desktop.name_has_owner("org.a11y.Bus"), WAIT, "org.a11y.Bus")
        self.closed = ClosedPort()
        self.servers.append(_Closer(self.closed))

    def steps(self):
        return [
            ("English: every focusable control has a name, the options dialog's too",
             lambda: self.named("C.UTF-8", ["Ping now", "Status: idle", "Log", "Address"],
                                ["Security", "Ping attempts", "Log file"], "^Options$")),
            ("a failed ping is announced: the status bar's and status image's new names",
             self.announced),
            ("German (LANG=de_DE.UTF-8): the same controls by their German names",
             lambda: self.named("de_DE.UTF-8",
                                ["Jetzt pingen", "Status: untätig", "Protokoll", "Adresse"],
                                ["Sicherheit", "Ping-Versuche", "Protokolldatei"], "^Optionen$")),
            ("no translation (LANG=xx_YY.UTF-8): English, no box, one line at most",
             self.untranslated),
        ]

    def context(self):
        shown = [(n["role"], n["name"]) for n in self.tree if "focusable" in n["states"]]
        return f"{super().context()}\n--- focusable: {shown[:80]}\n--- heard: {self.heard[:40]}"

    def named(self, lang, expected, in_options=(), options_title=None):
        """Starts the program in lang; every focusable control shown has a name, expected among
        them; then the same with the options dialog open (Ctrl+O), in_options among them."""
        store.write_store(self.config_home, {
            "Show notifications": 0, "Save log": 1, "Log file": self.log_path,
            "Ping attempts": 1, "HTTP port": self.closed.port, "Ping on error": 0,
            "Send email on error": 0})
        self.program.kill()  # what a failed step left running
        self.start_and_wait_window(extra_env={
            "QT_ACCESSIBILITY": "1", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "VENNATRO_TEST_ANNOUNCE_BOXES": "1",
            "LANG": lang, "LC_ALL": lang})

        note = self.all_named(expected, "the window")
        if not options_title:
            return note
        p = self.program
        p.key(p.wait_main_window(), "ctrl+o")
        dialog = p.wait_dialog(options_title)
        note += "; " + self.all_named(list(expected) + list(in_options), "the options dialog")
        p.key(dialog["id"], "Escape")
        return note

    def all_named(self, expected, what):
        def read():
            self.program.assert_running(" while its window was read over AT-SPI")
            out = subprocess.run(["/usr/bin/python3", TREE, "Vennatro"], env=self.desktop.env,
                                 capture_output=True, text=True, timeout=60, check=True).stdout
            self.tree = [n for n in json.loads(out) if "showing" in n["states"]]
            return set(expected) <= {n["name"] for n in self.tree}
        wait_for(read, WAIT, f"the names of {what} over AT-SPI: {expected}", interval=0.5)
        focusable = [n for n in self.tree if "focusable" in n["states"]]
        unnamed = [(n["path"], n["role"]) for n in focusable
                   if n["role"] not in CONTENT_ROLES and not n["name"].strip()]
        assert not unnamed, f"focusable controls without a name: {unnamed}"
        # At least the address box, its text field, the small ping button and the log.
        assert len(focusable) >= 4, f"only {len(focusable)} focusable controls"
        return f"{what}: {len(focusable)} focusable controls, all named"

    def announced(self):
        listener = subprocess.Popen(["/usr/bin/python3", TREE, "--names", str(WAIT)],
                                    env=self.desktop.env, stdout=subprocess.PIPE, text=True)
        wanted = {"Connection to [http://127.0.0.1/e2e-a11y] failed.", "Status: last ping failed"}
        try:
            assert json.loads(listener.stdout.readline() or "{}").get("ready"), "no listener"
            self.set_address("http://127.0.0.1/e2e-a11y", "Return")
            for line in listener.stdout:  # until both are heard, or the listener's time is up
                self.heard.append(json.loads(line)["name"])
                if wanted <= set(self.heard):
                    break
        finally:
            listener.kill()
            listener.wait()
        assert wanted <= set(self.heard), f"not announced: {wanted - set(self.heard)}"
        return f"{len(self.heard)} name changes heard"

    def untranslated(self):
        note = self.named("xx_YY.UTF-8", ["Ping now", "Status: idle"])
        self.exit_with_alt_x()
        out = self.program.output(20000)
        assert "message box open" not in out, f"a box was shown: {out[-1500:]}"
        lines = re.findall(r"^Vennatro: .*translation.*$", out, re.M)
        assert len(lines) <= 1, f"lines about the translation: {lines}"
        return f"{note}; {lines}"
