"""The built program under test, started in the private desktop and driven from outside: its
windows through xdotool, its tray icon through the tray host, its files on disk."""

import os
import re
import subprocess
import time

from desktop import PROCESSES, run, wait_for


class Program:
    def __init__(self, path, desktop, name="vennatro"):
        self.path = path
        self.desktop = desktop
        self.name = name
        self.proc = None
        self.out_path = None
        self.started_at = None

    @property
    def env(self):
        return self.desktop.env

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    # -- life ----------------------------------------------------------------------------

    def start(self, *args, wrapper=(), extra_env=None):
        """wrapper: a command the program is started through (it must end by exec'ing it, so the
        pid stays the program's)."""
        env = dict(self.env)
        env.update(extra_env or {})
        argv = list(wrapper) + [self.path] + list(args)
        self.proc = PROCESSES.start(self.name, argv, env, self.desktop.log_dir,
                                    cwd=self.desktop.root)
        self.out_path = os.path.join(self.desktop.log_dir, f"{self.name}.out")
        self.started_at = time.monotonic()
        return self.proc

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {timeout:g} s")

    def kill(self):
        if self.proc:
            PROCESSES.stop(self.proc)

    def output(self, limit=4000):
        """What the program printed (stdout and stderr), last part."""
        return self.desktop.log_tail(self.name, limit)

    def assert_running(self, why=""):
        if not self.running():
            raise AssertionError(f"the program is no longer running{why} "
                                 f"(exit status {self.proc.returncode})")

    # -- windows -------------------------------------------------------------------------

    def windows(self, visible_only=True):
        """Top-level windows of the program: dicts with id, name, dialog (transient or of a
        dialog type)."""
        argv = ["xdotool", "search"]
        if visible_only:
            argv.append("--onlyvisible")
        argv += ["--pid", str(self.pid)]
        ids = run(argv, self.env).stdout.split()
        out = []
        for wid in ids:
            name = run(["xdotool", "getwindowname", wid], self.env).stdout.rstrip("\n")
            props = run(["xprop", "-id", wid, "WM_TRANSIENT_FOR", "_NET_WM_WINDOW_TYPE"],
                        self.env).stdout
            if "BadWindow" in props or not props:
                continue  # gone meanwhile
            dialog = ("window id #" in props) or ("_NET_WM_WINDOW_TYPE_DIALOG" in props)
            # Qt's XEmbed tray icon is a top-level window of ours too, until trayer adopts it.
            override = "_KDE_NET_WM_WINDOW_TYPE_OVERRIDE" in props
            normal = ("_NET_WM_WINDOW_TYPE_NORMAL" in props or dialog) and not override
            out.append({"id": int(wid), "name": name, "dialog": dialog, "normal": normal,
                        "popup": "POPUP_MENU" in props or "DROPDOWN_MENU" in props,
                        "props": props})
        return out

    def main_window(self):
        """The visible main window's id, or None. Found as the brief says: a visible window
        named exactly "Vennatro" that is no dialog."""
        ids = run(["xdotool", "search", "--onlyvisible", "--name", "^Vennatro$"],
                  self.env).stdout.split()
        mine = {w["id"]: w for w in self.windows()}
        docked = set(self.xembed_icon_windows()) if self.desktop.tray == "xembed" else set()
        for wid in ids:
            w = mine.get(int(wid))
            if w and not w["dialog"] and w["normal"] and w["id"] not in docked:
                return int(wid)
        return None

    def dialogs(self):
        return [w for w in self.windows() if w["dialog"]]

    def wait_main_window(self, timeout=30):
        def probe():
            self.assert_running(" while its window was awaited")
            return self.main_window()
        return wait_for(probe, timeout, 'a visible window titled "Vennatro"')

    def wait_dialog(self, name_pattern=None, timeout=20):
        def probe():
            self.assert_running(" while a dialog was awaited")
            for w in self.dialogs():
                if name_pattern is None or re.search(name_pattern, w["name"]):
                    return w
            return None
        what = f'a dialog titled like "{name_pattern}"' if name_pattern else "a dialog"
        return wait_for(probe, timeout, what)

    def geometry(self, wid):
        """(x, y, width, height) of a window on the screen."""
        out = run(["xdotool", "getwindowgeometry", "--shell", str(wid)], self.env).stdout
        vals = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]), int(vals["HEIGHT"])

    # -- input ---------------------------------------------------------------------------

    def activate(self, wid):
        run(["xdotool", "windowactivate", "--sync", str(wid)], self.env, timeout=15)
        wait_for(lambda: run(["xdotool", "getactivewindow"], self.env).stdout.strip()
                 == str(wid), 10, f"window {wid} to become active")

    def key(self, wid, *keys):
        """Presses keys (xdotool names, e.g. "ctrl+p") in the window, after activating it."""
        self.activate(wid)
        run(["xdotool", "key", "--clearmodifiers", "--delay", "30"] + list(keys), self.env,
            timeout=15, check=True)

    def type_text(self, wid, text):
        self.activate(wid)
        run(["xdotool", "type", "--clearmodifiers", "--delay", "5", text], self.env, timeout=30,
            check=True)

    def click(self, x, y, button=1):
        run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button)], self.env,
            timeout=15, check=True)

    def close_window(self, wid):
        """A close request through the window manager, like the title bar's close button."""
        run(["wmctrl", "-i", "-c", hex(wid)], self.env, check=True)

    # -- tray ----------------------------------------------------------------------------

    def xembed_icon_windows(self):
        """Windows of the program that sit inside the trayer panel."""
        x = self.desktop.x
        docked = set()
        for tray in self.desktop.tray_window():
            docked.update(x.descendants(tray))
        ids = run(["xdotool", "search", "--pid", str(self.pid)], self.env).stdout.split()
        return [int(w) for w in ids if int(w) in docked]

    def sni_items(self):
        """StatusNotifierItems of this process registered with the watcher."""
        items = self.desktop.sni_items()
        mine = []
        for item in items:
            service = item.split("/", 1)[0]
            if f"-{self.pid}-" in service or self._bus_pid(service) == self.pid:
                mine.append(item)
        return mine

    def _bus_pid(self, service):
        out = run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                   "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID",
                   "string:" + service], self.env).stdout
        for word in out.split():
            if word.isdigit():
                return int(word)
        return None

    def tray_docked(self):
        if self.desktop.tray == "xembed":
            return bool(self.xembed_icon_windows())
        return bool(self.sni_items())

    def wait_tray_docked(self, timeout=30):
        def probe():
            self.assert_running(" while its tray icon was awaited")
            return self.tray_docked()
        host = "trayer (XEmbed)" if self.desktop.tray == "xembed" else \
            "the StatusNotifierWatcher of xfce4-panel"
        return wait_for(probe, timeout, f"the tray icon to dock in {host}")

    def tray_icon_position(self):
        """Screen centre of the docked icon. XEmbed: the icon window. StatusNotifierItem: the
        panel's systray plugin (a window of its own, at the right end of the panel), where the
        icon is the only one."""
        if self.desktop.tray == "xembed":
            wid = self.xembed_icon_windows()[0]
        else:
            ids = run(["xdotool", "search", "--onlyvisible", "--name", "^wrapper-2.0$"],
                      self.env).stdout.split()
            boxes = [self.geometry(int(w)) for w in ids]
            x, y, w, h = max(boxes, key=lambda b: b[0])
            return x + w // 2, y + h // 2
        x, y, w, h = self.geometry(wid)
        return x + w // 2, y + h // 2

    def sni_service(self):
        items = self.sni_items()
        return items[0].split("/", 1) if items else (None, None)

    def sni_menu_path(self):
        service, path = self.sni_service()
        text = self.desktop.get_property(service, "/" + path, "org.kde.StatusNotifierItem",
                                         "Menu")
        m = re.search(r'object path "([^"]*)"', text or "")
        return m.group(1) if m else None

    def sni_menu_labels(self, menu_path):
        service, _ = self.sni_service()
        out = run(["dbus-send", "--session", "--print-reply", f"--dest={service}", menu_path,
                   "com.canonical.dbusmenu.GetLayout", "int32:0", "int32:-1",
                   "array:string:label"], self.env).stdout
        labels = re.findall(r'string "label"\s+variant\s+string "([^"]*)"', out)
        return [label.replace("&", "").replace("_", "") for label in labels]

    # -- window state and pixels (X11) ---------------------------------------------------

    def window_state(self, wid):
        """How the window manager holds a window: WM_STATE ("Normal", "Iconic", or None when
        it manages no such window), its _NET_WM_STATE atoms, the X map state ("IsViewable",
        "IsUnMapped", ...) and whether it is in _NET_CLIENT_LIST (what taskbars show)."""
        props = run(["xprop", "-id", str(wid), "WM_STATE", "_NET_WM_STATE"], self.env).stdout
        m = re.search(r"window state: (\w+)", props)
        net = re.search(r"_NET_WM_STATE\(ATOM\) = (.*)", props)
        info = run(["xwininfo", "-id", str(wid)], self.env).stdout
        mapped = re.search(r"Map State: (\w+)", info)
        clients = run(["xprop", "-root", "_NET_CLIENT_LIST"], self.env).stdout
        listed = {int(w, 16) for w in re.findall(r"0x[0-9a-f]+", clients)}
        return {"wm_state": m.group(1) if m else None,
                "net": set(a.strip() for a in net.group(1).split(",")) if net else set(),
                "map": mapped.group(1) if mapped else None,
                "listed": int(wid) in listed}

    def named_windows(self, pattern="^Vennatro$"):
        """The program's windows whose name matches, shown or not."""
        ids = run(["xdotool", "search", "--pid", str(self.pid), "--name", pattern],
                  self.env).stdout.split()
        return [int(w) for w in ids]

    def iconic_window(self):
        """The program's window the window manager holds minimised (WM_STATE Iconic)."""
        for wid in self.named_windows():
            if self.window_state(wid)["wm_state"] == "Iconic":
                return wid
        return None

    def capture(self, wid):
        """A window's pixels: (width, height, RGB bytes row by row), read with ImageMagick."""
        out = subprocess.run(["import", "-window", str(wid), "-depth", "8", "ppm:-"],
                             env=self.env, capture_output=True, timeout=30,
                             stdin=subprocess.DEVNULL)
        if out.returncode != 0:
            raise AssertionError(f"import -window {wid} failed: {out.stderr.decode()[:300]}")
        return _parse_ppm(out.stdout)


def _parse_ppm(data):
    """(width, height, pixels) of a binary PPM (P6) with 8-bit samples."""
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    magic, width, height, maximum = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    if magic != b"P6" or maximum != 255:
        raise AssertionError(f"not an 8-bit PPM: {magic!r}, maximum {maximum}")
    pixels = data[pos + 1:pos + 1 + width * height * 3]
    if len(pixels) != width * height * 3:
        raise AssertionError(f"a PPM of {width} x {height} with {len(pixels)} bytes")
    return width, height, pixels
