"""A private headless desktop for the end-to-end checks.

Started in this order, each step waiting (by polling, with a limit) until the previous one is
ready: private folders, Xvfb, a session bus of our own, openbox, a notification-area host
(trayer for XEmbed, xfce4-panel for StatusNotifierItem, or none at all) and dunst. Every process
started here is recorded and killed newest first, also when the harness fails or is signalled.

SwayDesktop is the Wayland counterpart: sway on its headless backend, with no bar (so no tray)
and no XWayland, and a session bus of our own for the program.
"""

import atexit
import ctypes
import glob
import json
import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

POLL = 0.05


class WaitTimeout(AssertionError):
    pass


def wait_for(predicate, timeout, what, interval=POLL):
    """Polls predicate until it returns something true; returns that. Raises WaitTimeout."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            result = predicate()
            if result:
                return result
        except Exception as e:  # a probe that fails now may succeed later
            last_error = e
        if time.monotonic() >= deadline:
            detail = f" (last probe error: {last_error})" if last_error else ""
            raise WaitTimeout(f"timed out after {timeout:g} s waiting for {what}{detail}")
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# Processes


class Processes:
    """Every child the harness starts. Each runs in a session of its own (so its helpers die
    with it) and gets SIGTERM from the kernel should the harness itself die."""

    def __init__(self):
        self._live = []  # (name, Popen), oldest first

    def start(self, name, argv, env, log_dir, pass_fds=(), stdin=subprocess.DEVNULL, cwd=None):
        out = open(os.path.join(log_dir, f"{name}.out"), "ab")
        argv = ["setpriv", "--pdeathsig", "TERM", "--"] + list(argv)
        try:
            proc = subprocess.Popen(argv, env=env, stdin=stdin, stdout=out,
                                    stderr=subprocess.STDOUT, pass_fds=pass_fds,
                                    start_new_session=True, cwd=cwd)
        finally:
            out.close()
        self._live.append((name, proc))
        return proc

    def forget(self, proc):
        self._live = [(n, p) for n, p in self._live if p is not proc]

    def stop(self, proc, grace=3.0):
        """Ends one process and its session: SIGTERM, then SIGKILL after grace seconds."""
        if proc.poll() is None:
            _signal_group(proc, signal.SIGTERM)
            try:
                proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                _signal_group(proc, signal.SIGKILL)
                try:
                    proc.wait(timeout=grace)
                except subprocess.TimeoutExpired:
                    pass  # a zombie that lingers counts as gone
        # Helpers left in its session (a child it forked) go too.
        _signal_group(proc, signal.SIGKILL)
        self.forget(proc)

    def stop_all(self):
        while self._live:
            _, proc = self._live[-1]
            self.stop(proc)


def _signal_group(proc, sig):
    try:
        os.killpg(proc.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


PROCESSES = Processes()
atexit.register(PROCESSES.stop_all)


def _on_signal(signum, _frame):
    # Unwinds through every finally block, so everything started is stopped.
    raise SystemExit(128 + signum)


for _sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
    signal.signal(_sig, _on_signal)


def run(argv, env, timeout=10, check=False, input=None):
    """Runs a short command; returns CompletedProcess with text output."""
    return subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout,
                          check=check, input=input, stdin=None if input else subprocess.DEVNULL)


# ---------------------------------------------------------------------------------------------
# A little Xlib through ctypes, for what no command-line tool tells: selection owners and the
# window tree.


class _XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int),
                ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("c_class", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


class _X11:
    def __init__(self, display):
        self.lib = ctypes.CDLL("libX11.so.6")
        lib = self.lib
        lib.XOpenDisplay.restype = ctypes.c_void_p
        lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
        lib.XInternAtom.restype = ctypes.c_ulong
        lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.XGetSelectionOwner.restype = ctypes.c_ulong
        lib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        lib.XQueryTree.restype = ctypes.c_int
        lib.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                   ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
                                   ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                                   ctypes.POINTER(ctypes.c_uint)]
        lib.XFree.argtypes = [ctypes.c_void_p]
        lib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        # Xlib's default error handler ends the process on a vanished window: ignore instead.
        handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        self._handler = handler_type(lambda _d, _e: 0)
        lib.XSetErrorHandler.argtypes = [handler_type]
        lib.XSetErrorHandler(self._handler)
        self.dpy = lib.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError(f"cannot open display {display}")

    def close(self):
        if self.dpy:
            self.lib.XCloseDisplay(self.dpy)
            self.dpy = None

    def selection_owner(self, name):
        atom = self.lib.XInternAtom(self.dpy, name.encode(), 0)
        self.lib.XSync(self.dpy, 0)
        return self.lib.XGetSelectionOwner(self.dpy, atom)

    def parent_and_children(self, window):
        root = ctypes.c_ulong()
        parent = ctypes.c_ulong()
        children = ctypes.POINTER(ctypes.c_ulong)()
        count = ctypes.c_uint()
        self.lib.XSync(self.dpy, 0)
        ok = self.lib.XQueryTree(self.dpy, window, ctypes.byref(root), ctypes.byref(parent),
                                 ctypes.byref(children), ctypes.byref(count))
        if not ok:
            return None, []
        kids = [children[i] for i in range(count.value)]
        if children:
            self.lib.XFree(children)
        return parent.value, kids

    def root(self):
        self.lib.XDefaultRootWindow.restype = ctypes.c_ulong
        self.lib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        return self.lib.XDefaultRootWindow(self.dpy)

    def _attributes(self, window):
        attrs = _XWindowAttributes()
        self.lib.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                                  ctypes.POINTER(_XWindowAttributes)]
        if not self.lib.XGetWindowAttributes(self.dpy, window, ctypes.byref(attrs)):
            return None
        return attrs

    def mapped_top_levels(self):
        _, kids = self.parent_and_children(self.root())
        out = []
        for w in kids:
            attrs = self._attributes(w)
            if attrs is not None and attrs.map_state == 2:  # IsViewable
                out.append(w)
        return out

    def override_redirect(self, window):
        attrs = self._attributes(window)
        return attrs is not None and bool(attrs.override_redirect)

    def ancestors(self, window):
        """The chain of parents of window up to, not including, the root."""
        chain = []
        current = window
        for _ in range(64):
            parent, _ = self.parent_and_children(current)
            if not parent:
                break
            root_parent, _ = self.parent_and_children(parent)
            if not root_parent:  # parent is the root window
                break
            chain.append(parent)
            current = parent
        return chain

    def descendants(self, window):
        out = []
        stack = [window]
        while stack:
            _, kids = self.parent_and_children(stack.pop())
            out.extend(kids)
            stack.extend(kids)
        return out


# ---------------------------------------------------------------------------------------------
# The desktop

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <auth>EXTERNAL</auth>
  <!-- No service folders: nothing is started behind the harness's back. -->
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

XFCE_PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"/>
  </property>
</channel>
"""

DUNST_CONFIG = """[global]
    font = DejaVu Sans 10
    width = 360
    height = 120
    origin = top-right
    offset = 10x40
    frame_width = 1
    frame_color = "#6a6a6a"
    idle_threshold = 0
    show_age_threshold = -1
    history_length = 100
    sticky_history = yes
    markup = full
    show_indicators = no
    format = "<b>%s</b>\\n%b"
    icon_position = left
    min_icon_size = 24
    max_icon_size = 32

[urgency_low]
    background = "#f4f4f4"
    foreground = "#202020"
    timeout = 6

[urgency_normal]
    background = "#f4f4f4"
    foreground = "#202020"
    timeout = 6

[urgency_critical]
    background = "#fbe9e7"
    foreground = "#202020"
    frame_color = "#c62828"
    timeout = 6
"""

XFCONFD = "/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd"


class Desktop:
    """tray: "xembed" (trayer), "sni" (xfce4-panel) or "none" (no notification area)."""

    def __init__(self, tray, root):
        if tray not in ("xembed", "sni", "none"):
            raise ValueError(tray)
        self.tray = tray
        self.root = root
        self.run_dir = os.path.join(root, "run")
        self.config_home = os.path.join(root, "config")
        self.cache_home = os.path.join(root, "cache")
        self.log_dir = os.path.join(root, "logs")
        self.display = None
        self.env = None
        self.x = None
        self._procs = []

    # -- start ---------------------------------------------------------------------------

    def start(self):
        self._prepare()
        self._start_xvfb()
        self._start_bus()
        self._start_openbox()
        if self.tray == "xembed":
            self._start_trayer()
        elif self.tray == "sni":
            self._start_xfce_panel()
        self._start_dunst()

    def _prepare(self):
        """The private folders and the session's environment, with no display yet."""
        for d in (self.run_dir, self.config_home, self.cache_home, self.log_dir):
            os.makedirs(d, exist_ok=True)
        os.chmod(self.run_dir, 0o700)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("DBUS_", "XDG_", "QT_", "WAYLAND", "DESKTOP_SESSION",
                                    "GNOME", "KDE", "DISPLAY", "XAUTHORITY", "SESSION_MANAGER"))}
        env.update({
            "XDG_RUNTIME_DIR": self.run_dir,
            "XDG_CONFIG_HOME": self.config_home,
            "XDG_CACHE_HOME": self.cache_home,
            "XDG_DATA_HOME": os.path.join(self.root, "data"),
            "NO_AT_BRIDGE": "1",
            "HOME": env.get("HOME", self.root),
            "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8",
        })
        self.env = env

    def _spawn(self, name, argv, **kw):
        proc = PROCESSES.start(name, argv, self.env, self.log_dir, **kw)
        self._procs.append(proc)
        return proc

    def _alive(self, proc, name):
        if proc.poll() is not None:
            raise RuntimeError(f"{name} ended with status {proc.returncode}; "
                               f"its output: {self.log_tail(name)}")
        return True

    def _start_xvfb(self):
        read_fd, write_fd = os.pipe()
        try:
            proc = self._spawn("Xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                        "1280x800x24", "-nolisten", "tcp", "-noreset"],
                               pass_fds=(write_fd,))
            os.close(write_fd)
            write_fd = -1
            text = b""
            deadline = time.monotonic() + 20
            while not text.endswith(b"\n"):
                self._alive(proc, "Xvfb")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise WaitTimeout("Xvfb did not report its display within 20 s")
                ready, _, _ = select.select([read_fd], [], [], min(left, POLL))
                if ready:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        break
                    text += chunk
            self.display = ":" + text.decode().strip()
        finally:
            os.close(read_fd)
            if write_fd >= 0:
                os.close(write_fd)
        self.env["DISPLAY"] = self.display
        self.x = _X11(self.display)

    def _start_bus(self):
        path = os.path.join(self.run_dir, "bus")
        config = os.path.join(self.root, "session-bus.conf")
        with open(config, "w") as f:
            f.write(BUS_CONFIG.format(path=path))
        proc = self._spawn("dbus-daemon", ["dbus-daemon", "--config-file=" + config,
                                           "--nofork", "--nopidfile"])
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + path

        def ready():
            self._alive(proc, "dbus-daemon")
            return self.name_has_owner("org.freedesktop.DBus")
        wait_for(ready, 20, "the session bus to answer")

    def _start_openbox(self):
        proc = self._spawn("openbox", ["openbox", "--sm-disable"])

        def ready():
            self._alive(proc, "openbox")
            out = run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], self.env).stdout
            return "window id" in out
        wait_for(ready, 20, "openbox to manage the screen")

    def _start_trayer(self):
        proc = self._spawn("trayer", ["trayer", "--edge", "top", "--align", "right",
                                      "--widthtype", "request", "--height", "30",
                                      "--SetDockType", "true", "--SetPartialStrut", "true",
                                      "--transparent", "false", "--tint", "0x404040",
                                      "--expand", "true"])

        def ready():
            self._alive(proc, "trayer")
            return self.x.selection_owner("_NET_SYSTEM_TRAY_S0")
        wait_for(ready, 20, "trayer to own _NET_SYSTEM_TRAY_S0")

    def _start_xfce_panel(self):
        folder = os.path.join(self.config_home, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "xfce4-panel.xml"), "w") as f:
            f.write(XFCE_PANEL_CONFIG)
        # The panel asks xfconfd for its settings; the bus activates nothing, so start it here.
        xfconfd = self._spawn("xfconfd", [XFCONFD])

        def xfconf_ready():
            self._alive(xfconfd, "xfconfd")
            return self.name_has_owner("org.xfce.Xfconf")
        wait_for(xfconf_ready, 20, "xfconfd on the session bus")
        panel = self._spawn("xfce4-panel", ["xfce4-panel", "--disable-wm-check"])

        def ready():
            self._alive(panel, "xfce4-panel")
            return self.sni_host_registered()
        wait_for(ready, 30, "xfce4-panel to register a StatusNotifierItem host")

    def _start_dunst(self):
        config = os.path.join(self.root, "dunstrc")
        with open(config, "w") as f:
            f.write(DUNST_CONFIG)
        proc = self._spawn("dunst", ["dunst", "-config", config])

        def ready():
            self._alive(proc, "dunst")
            return self.name_has_owner("org.freedesktop.Notifications")
        wait_for(ready, 20, "dunst to own org.freedesktop.Notifications")

    # -- stop ----------------------------------------------------------------------------

    def stop(self):
        # Our own X connection goes first: Xlib ends the process when its server vanishes.
        if self.x:
            self.x.close()
            self.x = None
        for proc in reversed(self._procs):
            PROCESSES.stop(proc)
        self._procs = []

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    # -- queries -------------------------------------------------------------------------

    def log_tail(self, name, limit=3000):
        path = os.path.join(self.log_dir, f"{name}.out")
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError:
            return "(none)"
        return data[-limit:].decode(errors="replace")

    def name_has_owner(self, name):
        out = run(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                   "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                   "string:" + name], self.env)
        return out.returncode == 0 and "boolean true" in out.stdout

    def get_property(self, service, path, interface, prop):
        """A D-Bus property as dbus-send prints it, or None when the call fails."""
        out = run(["dbus-send", "--session", "--print-reply", f"--dest={service}", path,
                   "org.freedesktop.DBus.Properties.Get", "string:" + interface,
                   "string:" + prop], self.env)
        return out.stdout if out.returncode == 0 else None

    def tray_hosts(self):
        """What offers a notification area now: "XEmbed" when _NET_SYSTEM_TRAY_S0 has an owner,
        "StatusNotifierItem" when a watcher is on the bus."""
        hosts = []
        if self.x and self.x.selection_owner("_NET_SYSTEM_TRAY_S0"):
            hosts.append("XEmbed")
        if self.name_has_owner("org.kde.StatusNotifierWatcher"):
            hosts.append("StatusNotifierItem")
        return hosts

    def sni_host_registered(self):
        text = self.get_property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                 "org.kde.StatusNotifierWatcher",
                                 "IsStatusNotifierHostRegistered")
        return bool(text) and "boolean true" in text

    def sni_items(self):
        """The items the watcher has registered ("service/path"); [] when none."""
        text = self.get_property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                                 "org.kde.StatusNotifierWatcher",
                                 "RegisteredStatusNotifierItems")
        return re.findall(r'string "([^"]*)"', text or "")

    def tray_window(self):
        """The trayer panel windows (XEmbed)."""
        out = run(["xdotool", "search", "--class", "trayer"], self.env).stdout.split()
        return [int(w) for w in out]

    def dunst_history(self):
        out = run(["dunstctl", "history"], self.env)
        if out.returncode != 0:
            return []
        data = json.loads(out.stdout)
        entries = []
        for group in data.get("data", []):
            for item in group:
                entries.append({k: v.get("data") if isinstance(v, dict) else v
                                for k, v in item.items()})
        return entries

    def dunst_count(self, which):
        out = run(["dunstctl", "count", which], self.env)
        try:
            return int(out.stdout.strip())
        except ValueError:
            return 0


# A bare session: one output, no bar (so no tray) and no XWayland (so only a client that speaks
# Wayland itself can show a window at all).
SWAY_CONFIG = """output HEADLESS-1 resolution 1280x800
xwayland disable
"""


class SwayUnavailable(Exception):
    """sway cannot run on this machine; the reason says why."""


class SwayDesktop(Desktop):
    """sway on its headless backend (no GPU, no input devices) as a Wayland session without a
    notification area, and a session bus of our own for the program (with no watcher on it).

    sway refuses to run as root, so for root it runs as "nobody" in a folder of its own outside
    the work folder (which is root's, 0700): its HOME, its XDG_RUNTIME_DIR (0700) and its
    configuration. Clients reach it through WAYLAND_DISPLAY as the socket's full path, so the
    program keeps the private XDG_RUNTIME_DIR of its own."""

    def __init__(self, root):
        super().__init__("none", root)
        self.sway_dir = None
        self.wayland_socket = None
        self.ipc_socket = None

    def start(self):
        missing = [name for name in ("sway", "swaymsg") if not shutil.which(name)]
        if missing:
            raise SwayUnavailable(f"{' and '.join(missing)} not installed: install the Debian "
                                  "package sway (scripts/common.sh lists it in TEST_PACKAGES)")
        self._prepare()
        self._start_bus()
        self._start_sway()
        self.env["WAYLAND_DISPLAY"] = self.wayland_socket
        self.env["XDG_SESSION_TYPE"] = "wayland"

    def _start_sway(self):
        self.sway_dir = tempfile.mkdtemp(prefix="vennatro-sway-")
        runtime = os.path.join(self.sway_dir, "run")
        os.mkdir(runtime, 0o700)
        config = os.path.join(self.sway_dir, "config")
        with open(config, "w") as f:
            f.write(SWAY_CONFIG)
        os.chmod(config, 0o644)
        become = []
        if os.geteuid() == 0:
            user = pwd.getpwnam("nobody")
            for path in (self.sway_dir, runtime):
                os.chown(path, user.pw_uid, user.pw_gid)
            # The parent-death signal is cleared by a change of user: set it again after one.
            become = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                      "--clear-groups", "--", "setpriv", "--pdeathsig", "TERM", "--"]
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.sway_dir,
            "XDG_RUNTIME_DIR": runtime,
            "LANG": "C.UTF-8",
            "WLR_BACKENDS": "headless",
            "WLR_LIBINPUT_NO_DEVICES": "1",
            "WLR_RENDERER": "pixman",
        }
        proc = PROCESSES.start("sway", become + ["sway", "--config", config], env,
                               self.log_dir)
        self._procs.append(proc)

        def ready():
            if proc.poll() is not None:
                return "ended"
            sockets = [p for p in glob.glob(os.path.join(runtime, "wayland-*"))
                       if not p.endswith(".lock")]
            ipc = glob.glob(os.path.join(runtime, "sway-ipc.*.sock"))
            if len(sockets) != 1 or len(ipc) != 1:
                return False
            self.wayland_socket, self.ipc_socket = sockets[0], ipc[0]
            outputs = self.swaymsg("-t", "get_outputs")
            return any(o.get("name") == "HEADLESS-1" and o.get("active") for o in outputs)
        wait_for(ready, 20, "sway's Wayland socket, its IPC socket and the output HEADLESS-1")
        if proc.poll() is not None:
            raise SwayUnavailable(f"sway ended at start with status {proc.returncode}; its "
                                  f"output: {self.log_tail('sway', 1500).strip()}")

    def stop(self):
        super().stop()
        if self.sway_dir:
            shutil.rmtree(self.sway_dir, ignore_errors=True)
            self.sway_dir = None

    # -- queries -------------------------------------------------------------------------

    def swaymsg(self, *args):
        """swaymsg's answer, parsed. Raises when sway refuses or cannot be reached."""
        env = dict(self.env, SWAYSOCK=self.ipc_socket)
        out = run(["swaymsg", "--raw"] + list(args), env)
        if out.returncode != 0:
            raise RuntimeError(f"swaymsg {' '.join(args)}: status {out.returncode}: "
                               f"{(out.stdout + out.stderr).strip()[:500]}")
        return json.loads(out.stdout)

    def views(self):
        """Every window sway manages (tiled or floating), as get_tree gives it."""
        found = []
        stack = [self.swaymsg("-t", "get_tree")]
        while stack:
            node = stack.pop()
            if node.get("type") in ("con", "floating_con") and "pid" in node:
                found.append(node)
            stack.extend(node.get("nodes", []))
            stack.extend(node.get("floating_nodes", []))
        return found


def free_port():
    """A port on 127.0.0.1 that was free a moment ago."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_root(prefix="vennatro-e2e-"):
    return tempfile.mkdtemp(prefix=prefix)


def remove_root(root):
    shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    # Handy by hand: bring a desktop up, print its environment, keep it until Ctrl+C.
    tray = sys.argv[1] if len(sys.argv) > 1 else "xembed"
    root = make_root()
    with Desktop(tray, root) as d:
        print(f"DISPLAY={d.display}")
        print(f"DBUS_SESSION_BUS_ADDRESS={d.env['DBUS_SESSION_BUS_ADDRESS']}")
        print(f"XDG_CONFIG_HOME={d.config_home}", flush=True)
        try:
            while True:
                time.sleep(1)
        except (KeyboardInterrupt, SystemExit):
            pass
