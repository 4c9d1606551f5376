"""The running window as a screen reader finds it, over AT-SPI: the suite "a11y".

    test_desktop.py --program build/vennatro --tray xembed --suite a11y

The desktop gets an accessibility bus (at-spi-bus-launcher, Debian's at-spi2-core), the program
runs with Qt's AT-SPI bridge on (QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1) and atspi_tree.py
(python3-pyatspi) reads its window. In English: no focusable control without a name, the
status image and the small ping button named. In German (LANG=de_DE.UTF-8): the same controls
by their German names. With a locale the program has no translation for (xx_YY): English, no
message box, one line at most about it.
"""

import json
import os
import re
import subprocess

import store
from desktop import run, wait_for
from test_desktop import WAIT, Scenario

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
TREE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "atspi_tree.py")
ON = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1",
      "VENNATRO_TEST_ANNOUNCE_BOXES": "1"}
# Roles whose name is their content, not a control's: a table cell may be empty.
CONTENT_ROLES = {"table cell", "table column header", "table row header"}


class A11yScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"the window over AT-SPI, tray host {args.tray}"
        self.tree = []

    def setup(self):
        super().setup()
        if not os.access(LAUNCHER, os.X_OK):
            raise AssertionError(f"{LAUNCHER} is missing (Debian: at-spi2-core)")
        self.desktop._spawn("at-spi-bus-launcher", [LAUNCHER, "--launch-immediately"])
        wait_for(lambda: self.desktop.name_has_owner("org.a11y.Bus"), WAIT,
                 "org.a11y.Bus on the session bus")

    def steps(self):
        return [
            ("English: every focusable control has a name", self.english),
            ("German (LANG=de_DE.UTF-8): the same controls by their German names", self.german),
            ("no translation (LANG=xx_YY.UTF-8): English, no box, one line at most",
             self.untranslated),
        ]

    def context(self):
        named = [(n["role"], n["name"]) for n in self.tree if "focusable" in n["states"]]
        return "\n".join([super().context(), f"--- focusable over AT-SPI: {named[:80]}"])

    # -- helpers -------------------------------------------------------------------------

    def read_tree(self):
        result = subprocess.run(["/usr/bin/python3", TREE, "Vennatro"], env=self.desktop.env,
                                capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise AssertionError(f"atspi_tree.py failed: {result.stderr[-2000:]}")
        return json.loads(result.stdout or "[]")

    def start_in(self, lang):
        store.write_store(self.config_home, {"Show notifications": 0, "Save log": 1,
                                             "Log file": self.log_path})
        env = dict(ON, LANG=lang, LC_ALL=lang)
        self.start_and_wait_window(extra_env=env)

        # The tree is complete once the window's tool bar buttons are there.
        def ready():
            self.program.assert_running(" while its window was read over AT-SPI")
            self.tree = self.read_tree()
            return sum(n["role"] == "push button" for n in self.tree) >= 5
        wait_for(ready, WAIT, "the window's buttons over AT-SPI", interval=0.5)
        return self.tree

    def stop(self):
        p = self.program
        p.key(p.wait_main_window(), "alt+x")
        rc = p.wait_exit(20)
        assert rc == 0, f"the program ended with status {rc}"

    def names(self, role=None):
        return [n["name"] for n in self.tree
                if "showing" in n["states"] and (role is None or n["role"] == role)]

    def check_named(self, expected):
        unnamed = [(n["path"], n["role"]) for n in self.tree
                   if "focusable" in n["states"] and "showing" in n["states"]
                   and n["role"] not in CONTENT_ROLES and not n["name"].strip()]
        assert not unnamed, f"focusable controls without a name: {unnamed}"
        focusable = sum("focusable" in n["states"] and "showing" in n["states"]
                        for n in self.tree)
        assert focusable >= 10, f"only {focusable} focusable controls found"
        names = self.names()
        missing = [e for e in expected if e not in names]
        assert not missing, f"names not found: {missing} (shown: {names})"
        return f"{focusable} focusable controls, all named"

    # -- steps ---------------------------------------------------------------------------

    def english(self):
        self.start_in("C.UTF-8")
        note = self.check_named(["Ping now", "Status: idle", "Log", "Address"])
        self.stop()
        return note

    def german(self):
        self.start_in("de_DE.UTF-8")
        note = self.check_named(["Jetzt pingen", "Status: untätig", "Protokoll", "Adresse"])
        assert "Ping now" not in self.names(), "an English name in the German window"
        self.stop()
        return note

    def untranslated(self):
        self.start_in("xx_YY.UTF-8")
        self.check_named(["Ping now", "Status: idle"])
        self.stop()
        out = self.program.output(20000)
        assert "message box open" not in out, f"a box was shown: {out[-1500:]}"
        lines = re.findall(r"^Vennatro: .*translation.*$", out, re.M)
        assert len(lines) <= 1, f"more than one line about the translation: {lines}"
        return f"lines about the translation: {lines}"
