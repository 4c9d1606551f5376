"""Desktops other than the usual one: the suites "no-tray", "wayland" and "badge".

    test_desktop.py --program build/vennatro --suite no-tray
    test_desktop.py --program build/vennatro --suite wayland
    test_desktop.py --program build/vennatro --tray xembed --suite badge

"no-tray": X11 with openbox and dunst but no notification area at all. `-quiet` shows the window
minimised (the window manager holds it iconic, in its client list), closing it minimises it
again, Alt+X ends it and saves the store.

"wayland": sway on its headless backend with no bar (so no tray) and no XWayland; the program
on Qt's wayland platform. Its window is a native xdg_shell toplevel in sway's tree; sway has no
minimised state, so a close request ends the program, with status 0 and the store written.
Skipped, with the reason, where sway or Qt's wayland plugin is missing or sway cannot run.

"badge": the XEmbed icon in trayer read back as pixels: no badge before any ping, a green
badge in the icon's lower right quarter after a completed ping, a red one after a failed one.
"""

import glob
import os
import re
import time

import store
from desktop import Desktop, SwayDesktop, SwayUnavailable, run, wait_for
from program import Program
from servers import ClosedPort, Nginx
from test_desktop import WAIT, Scenario, Skip, _Closer

# The close of a window with nothing to keep it minimised: the program saves and ends.
CLOSE_ENDS_WITHIN = 5  # seconds


def _store_saved(config_home, kept):
    """The store after an exit: every value with its kind, the values in kept unchanged, mode
    0600. Returns the values read."""
    saved = store.read_store(config_home)
    missing = [n for n in store.ALL_VALUES if n not in saved]
    assert not missing, f"the store lacks {missing} after the exit"
    wrong = [n for n in store.DWORD_VALUES if saved[n][0] != "dword"]
    wrong += [n for n in store.STRING_VALUES if saved[n][0] != "string"]
    assert not wrong, f"values of the wrong kind: {wrong}"
    changed = {k: (v, saved[k][1]) for k, v in kept.items() if saved[k][1] != v}
    assert not changed, f"stored values changed (expected, stored): {changed}"
    mode = store.file_mode(config_home)
    assert mode == 0o600, f"store file mode {mode:o}"
    return saved


# ---------------------------------------------------------------------------------------------
# X11 without a notification area


class NoTrayScenario(Scenario):
    KEPT = {"Ping attempts": 2, "HTTP port": 8081, "Show notifications": 1}

    def __init__(self, args):
        super().__init__(args)
        self.title = "X11 without a notification area (openbox, dunst, no tray host)"
        self.desktop = Desktop("none", os.path.join(self.root, "desktop"))
        self.wid = None
        self.shown_size = None

    def steps(self):
        return [
            ("the desktop offers no notification area (no XEmbed owner, no watcher)",
             self.no_tray),
            ("-quiet shows the window minimised: iconic, hidden, in the client list",
             self.quiet_minimised),
            ("activated by the window manager, the same window shows as the active one",
             self.restored),
            ("the window manager's close minimises it again; the program keeps running",
             self.close_minimises),
            ("Alt+X ends it with status 0; the store is saved whole, size as shown",
             self.alt_x_saves),
            ("a stored window larger than the screen and below it: the whole frame on screen",
             self.frame_on_screen),
            ("at a scale of 2 the options dialog fits the screen and OK answers",
             self.options_scaled),
        ]

    def context(self):
        parts = [super().context()]
        if self.program and self.program.proc and self.desktop.x:
            try:
                for wid in self.program.named_windows():
                    parts.append(f"--- window {wid}: {self.program.window_state(wid)}")
            except Exception:
                pass
        return "\n".join(parts)

    def _state(self):
        return self.program.window_state(self._window())

    def _window(self):
        assert self.wid, "no window of the program was found minimised at start"
        return self.wid

    def no_tray(self):
        hosts = self.desktop.tray_hosts()
        assert not hosts, f"a notification area is there after all: {hosts}"

    def quiet_minimised(self):
        p = self.program
        store.write_store(self.config_home, self.KEPT)
        p.start("-quiet")

        def minimised():
            p.assert_running(" after -quiet")
            return p.iconic_window()
        self.wid = wait_for(minimised, 30, 'a window "Vennatro" held iconic by openbox')
        state = self._state()
        assert "_NET_WM_STATE_HIDDEN" in state["net"], f"state {state}"
        assert state["map"] == "IsUnMapped", f"state {state}"
        assert state["listed"], f"not in _NET_CLIENT_LIST, so no taskbar shows it: {state}"
        assert p.main_window() is None, "a window of the program is on show"
        return f"window {self.wid}: {state}"

    def restored(self):
        p = self.program
        run(["wmctrl", "-i", "-a", hex(self._window())], p.env, check=True)
        wait_for(lambda: p.main_window() == self.wid, WAIT, "the window on show")
        wait_for(lambda: run(["xdotool", "getactivewindow"], p.env).stdout.strip()
                 == str(self.wid), WAIT, "the window to become the active one")
        state = self._state()
        assert state["wm_state"] == "Normal", f"state {state}"
        assert "_NET_WM_STATE_HIDDEN" not in state["net"], f"state {state}"
        self.shown_size = p.geometry(self.wid)[2:]

    def close_minimises(self):
        p = self.program
        p.close_window(self._window())

        def iconic():
            p.assert_running(" after the close")
            return self._state()["wm_state"] == "Iconic"
        wait_for(iconic, WAIT, "the window to be minimised after the close")
        state = self._state()
        assert "_NET_WM_STATE_HIDDEN" in state["net"], f"state {state}"
        assert state["listed"], f"the minimised window left the client list: {state}"
        assert p.main_window() is None, "a window is still on show after the close"
        p.assert_running(" after the close")

    def alt_x_saves(self):
        p = self.program
        run(["wmctrl", "-i", "-a", hex(self._window())], p.env, check=True)
        wait_for(lambda: p.main_window() == self.wid, WAIT, "the window on show again")
        self.exit_with_alt_x()
        saved = _store_saved(self.config_home, self.KEPT)
        size = (saved["Window width"][1], saved["Window height"][1])
        assert size == self.shown_size, f"stored size {size}, shown {self.shown_size}"
        # The notice about the notification area has no place where there is none; everything
        # the program sent reached dunst before it ended.
        run(["dunstctl", "close-all"], self.desktop.env)
        told = [n.get("body") for n in self.desktop.dunst_history()
                if "notification area" in (n.get("body") or "")]
        assert not told, f"notifications about the notification area: {told}"
        return f"stored size {size[0]} x {size[1]}"


    def frame_on_screen(self):
        p = self.program
        store.write_store(self.config_home, {"Window top": 99999, "Window left": 3000,
                                             "Window width": 5000, "Window height": 4000})
        p.start()
        w = p.wait_main_window()
        env = self.desktop.env
        area = [int(v) for v in re.findall(r"-?\d+", run(
            ["xprop", "-root", "_NET_WORKAREA"], env).stdout.split("=", 1)[1])][:4]

        def frame():
            out = run(["xprop", "-id", str(w), "_NET_FRAME_EXTENTS"], env).stdout
            extents = [int(v) for v in re.findall(r"\d+", out.split("=", 1)[-1])]
            if len(extents) != 4:
                return None
            left, right, top, bottom = extents
            # xwininfo's absolute corner: xdotool's counts a reparented window's offset twice.
            info = run(["xwininfo", "-id", str(w)], env).stdout
            x, y, width, height = (int(re.search(rf"{key}:\s+(-?\d+)", info).group(1))
                                   for key in ("Absolute upper-left X", "Absolute upper-left Y",
                                               "Width", "Height"))
            return (x - left, y - top, x + width + right, y + height + bottom)

        def inside():
            f = frame()
            return f and (f[0] >= area[0] and f[1] >= area[1] and
                          f[2] <= area[0] + area[2] and f[3] <= area[1] + area[3])
        try:
            wait_for(inside, 5, f"the whole frame inside the work area {area}")
        except Exception as e:
            raise AssertionError(f"{e}: frame {frame()}") from None
        f = frame()
        self.exit_with_alt_x()
        return f"frame {f}, work area {area}"

    def options_scaled(self):
        p = self.program
        p.start(extra_env={"QT_SCALE_FACTOR": "2"})
        w = p.wait_main_window()
        p.key(w, "ctrl+o")
        dialog = p.wait_dialog(r"^Options$", WAIT)
        env = self.desktop.env
        area = [int(v) for v in re.findall(r"-?\d+", run(
            ["xprop", "-root", "_NET_WORKAREA"], env).stdout.split("=", 1)[1])][:4]
        info = run(["xwininfo", "-id", str(dialog["id"])], env).stdout
        x, y, width, height = (int(re.search(rf"{key}:\s+(-?\d+)", info).group(1))
                               for key in ("Absolute upper-left X", "Absolute upper-left Y",
                                           "Width", "Height"))
        assert (x >= area[0] and y >= area[1] and x + width <= area[0] + area[2] and
                y + height <= area[1] + area[3]), \
            f"the dialog {x},{y} {width}x{height} leaves the work area {area}"
        self.shot("options-scaled", window=dialog["id"])
        p.key(dialog["id"], "Return")
        wait_for(lambda: not p.dialogs(), WAIT, "the dialog to close on OK")
        self.exit_with_alt_x()
        return f"dialog {width}x{height} at {x},{y} in {area}"


# ---------------------------------------------------------------------------------------------
# Wayland: sway, headless


class WaylandScenario(Scenario):
    KEPT = {"Ping attempts": 2, "HTTP port": 8081}

    def __init__(self, args):
        super().__init__(args)
        self.title = "Wayland: sway headless, no bar, no XWayland, Qt's wayland platform"
        self.desktop = SwayDesktop(os.path.join(self.root, "desktop"))
        self.unavailable = None
        self.view = None

    def setup(self):
        # Started by the first step, so that a machine where sway cannot run skips the suite.
        self.program = Program(self.args.program, self.desktop)

    def steps(self):
        return [
            ("sway runs headless; nothing offers a tray", self.sway_runs),
            ('the window "Vennatro" is a native Wayland toplevel (xdg_shell) in sway\'s tree, '
             'its app_id the desktop entry\'s',
             self.native_window),
            (f"a close request ends the program: status 0 within {CLOSE_ENDS_WITHIN} s",
             self.close_ends),
            ("the store is written at that end: every value, the values set kept",
             self.store_written),
        ]

    def context(self):
        parts = [super().context(), f"--- sway output:\n{self.desktop.log_tail('sway')}"]
        if self.desktop.ipc_socket:
            try:
                parts.append("--- sway views: " + repr(
                    [(v.get("name"), v.get("app_id"), v.get("shell"), v.get("pid"))
                     for v in self.desktop.views()]))
            except Exception as e:
                parts.append(f"--- sway views: {e}")
        return "\n".join(parts)

    def _available(self):
        if self.unavailable:
            raise Skip("no Wayland session (the first step says why)")

    def sway_runs(self):
        plugins = glob.glob("/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so")
        if not plugins:
            self.unavailable = ("Qt's wayland platform plugin is missing: install the Debian "
                                "package qt6-wayland (scripts/common.sh lists it)")
            raise Skip(self.unavailable)
        try:
            self.desktop.start()
        except SwayUnavailable as e:
            self.unavailable = f"sway cannot run here: {e}"
            raise Skip(self.unavailable)
        hosts = self.desktop.tray_hosts()
        assert not hosts, f"a notification area is there after all: {hosts}"
        bars = self.desktop.swaymsg("-t", "get_bar_config")
        assert bars == [], f"sway has bars: {bars}"
        assert "DISPLAY" not in self.desktop.env
        return f"WAYLAND_DISPLAY={self.desktop.wayland_socket}"

    def native_window(self):
        self._available()
        p = self.program
        store.write_store(self.config_home, self.KEPT)
        p.start(extra_env={"QT_QPA_PLATFORM": "wayland"})

        def shown():
            p.assert_running(" while its window was awaited")
            for v in self.desktop.views():
                if v.get("pid") == p.pid and v.get("name") == "Vennatro":
                    return v
            return None
        self.view = wait_for(shown, 30, 'a window "Vennatro" of the program in sway\'s tree')
        v = self.view
        assert v.get("shell") == "xdg_shell", f"shell {v.get('shell')!r}, not xdg_shell"
        # The desktop entry's name, so the compositor finds its icon and name.
        assert v.get("app_id") == "dev.lumo.Vennatro", \
            f"app_id {v.get('app_id')!r}, not dev.lumo.Vennatro"
        assert "window_properties" not in v, "the window has X11 properties"
        assert v.get("visible") is True, "the window is not visible"
        rect = v["window_rect"]
        return f"app_id {v['app_id']!r}, window {rect['width']} x {rect['height']}"

    def close_ends(self):
        self._available()
        p = self.program
        started = time.monotonic()
        answer = self.desktop.swaymsg(f'[title="^Vennatro$" pid={p.pid}] kill')
        assert answer and all(a.get("success") for a in answer), f"swaymsg answered {answer}"
        rc = p.wait_exit(WAIT)
        took = time.monotonic() - started
        assert rc == 0, f"the program ended with status {rc}"
        assert took <= CLOSE_ENDS_WITHIN, f"the program took {took:.2f} s to end"
        left = [v for v in self.desktop.views() if v.get("pid") == p.pid]
        assert not left, f"sway still holds windows of the program: {left}"
        return f"ended after {took:.2f} s"

    def store_written(self):
        self._available()
        saved = _store_saved(self.config_home, self.KEPT)
        size = (saved["Window width"][1], saved["Window height"][1])
        # The size sway gave the window (tiled, it fills the output less title and borders).
        rect = self.view["window_rect"]
        assert size == (rect["width"], rect["height"]), \
            f"stored size {size}, sway's window {rect['width']} x {rect['height']}"
        return f"stored size {size[0]} x {size[1]}, maximized {saved['Maximized'][1]}"


# ---------------------------------------------------------------------------------------------
# The tray badge, read back as pixels


# Shares of the icon's lower right quarter. The badge is a disc about half the icon wide with a
# light ring, so it fills about half that quarter; the plain icon has neither colour there.
BADGE_AT_LEAST = 0.35
OTHER_AT_MOST = 0.02


def corner_shares(width, height, pixels):
    """The shares of clearly green and clearly red pixels in the lower right quarter of the
    icon: the square the icon is drawn in, centred in its window (trayer's slot may be taller
    than wide)."""
    side = min(width, height)
    left, top = (width - side) // 2, (height - side) // 2
    green = red = total = 0
    for y in range(top + side // 2, top + side):
        row = y * width
        for x in range(left + side // 2, left + side):
            i = (row + x) * 3
            r, g, b = pixels[i], pixels[i + 1], pixels[i + 2]
            total += 1
            if g > r + 50 and g > b + 50:
                green += 1
            elif r > g + 60 and r > b + 60:
                red += 1
    return green / total, red / total


class BadgeScenario(Scenario):
    def __init__(self, args):
        super().__init__(args)
        self.title = f"the tray badge as pixels, tray host {args.tray}"
        self.nginx = None
        self.closed = None
        self.shares = {}

    def setup(self):
        super().setup()
        self.nginx = Nginx(self.root, self.desktop.log_dir)
        self.servers.append(self.nginx)
        self.nginx.start(self.desktop.env)
        self.closed = ClosedPort()
        self.servers.append(_Closer(self.closed))

    def steps(self):
        return [
            ("the icon docks in trayer with no badge before any ping", self.no_badge),
            ("a completed ping to nginx: the icon's lower right quarter turns green",
             self.green_badge),
            ("a failed ping (refused port, one attempt): it turns red", self.red_badge),
            ("Alt+X ends it with status 0", self.exit_with_alt_x),
        ]

    def context(self):
        return "\n".join([super().context(), f"--- corner shares (green, red): {self.shares}"])

    def _icon(self):
        if self.desktop.tray != "xembed":
            raise Skip("only an XEmbed icon is a window whose pixels can be read; run with "
                       "--tray xembed")
        icons = self.program.xembed_icon_windows()
        assert len(icons) == 1, f"icon windows in trayer: {icons}"
        return icons[0]

    def _wait_corner(self, name, want):
        """Waits until the lower right quarter is mostly of colour want ("green", "red")."""
        wid = self._icon()

        def probe():
            w, h, pixels = self.program.capture(wid)
            green, red = corner_shares(w, h, pixels)
            self.shares[name] = (round(green, 3), round(red, 3), f"{w}x{h}")
            mine, other = (green, red) if want == "green" else (red, green)
            return mine >= BADGE_AT_LEAST and other <= OTHER_AT_MOST
        wait_for(probe, WAIT, f"a {want} badge on the docked icon", interval=0.2)
        return self.shares[name]

    def no_badge(self):
        p = self.program
        store.write_store(self.config_home, {
            "HTTP port": self.nginx.port, "Ping attempts": 1, "Save log": 1,
            "Log file": self.log_path, "Show notifications": 0, "Ping on error": 0,
            "Send email on error": 0})
        assert "XEmbed" in self.desktop.tray_hosts(), "trayer owns no _NET_SYSTEM_TRAY_S0"
        self.start_and_wait_window()
        p.wait_tray_docked(WAIT)
        wid = self._icon()
        # Drawn once the icon has its size; both tests below wait for a colour, this one for
        # the icon's first pixels to settle.
        last = [None]

        def settled():
            shot = p.capture(wid)
            _, _, pixels = shot
            drawn = len({pixels[i:i + 3] for i in range(0, len(pixels), 3)}) > 4
            same = drawn and shot == last[0]
            last[0] = shot
            return same
        wait_for(settled, WAIT, "the docked icon drawn and still", interval=0.2)
        w, h, pixels = last[0]
        green, red = corner_shares(w, h, pixels)
        self.shares["before"] = (round(green, 3), round(red, 3), f"{w}x{h}")
        assert green < OTHER_AT_MOST and red < OTHER_AT_MOST, \
            f"a badge before any ping: green {green:.2f}, red {red:.2f}"
        return f"icon window {wid}, {w} x {h}, corner green {green:.2f}, red {red:.2f}"

    def green_badge(self):
        address = "http://127.0.0.1/e2e-badge-ok"
        self.set_address(address, "Return")
        self.wait_log(r"Connection to \[" + re.escape(address) +
                      rf"\] \(port {self.nginx.port}\) completed in")
        green, red, size = self._wait_corner("completed", "green")
        self._icon_shot("completed")
        return f"corner green {green:.2f}, red {red:.2f} ({size})"

    def red_badge(self):
        address = f"http://127.0.0.1:{self.closed.port}/e2e-badge-fail"
        self.set_address(address, "Return")
        self.wait_log(r"Error connecting to \[127\.0\.0\.1\] "
                      rf"\(port {self.closed.port}\): Connection refused")
        green, red, size = self._wait_corner("failed", "red")
        self._icon_shot("failed")
        if self.shots:
            # Both states side by side, for the README.
            parts = [os.path.join(self.shots, f"traybadge-{n}.png") for n in ("completed", "failed")]
            run(["convert"] + parts + ["-bordercolor", "white", "-border", "8", "+append",
                                       os.path.join(self.shots, "traybadge.png")],
                self.desktop.env, timeout=30, check=True)
        return f"corner green {green:.2f}, red {red:.2f} ({size})"

    def _icon_shot(self, name):
        """The docked icon, four times its size, as the panel shows it."""
        if not self.shots:
            return
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, f"traybadge-{name}.png")
        run(["sh", "-c", 'import -window "$1" png:- | convert png:- -filter point -resize 400% "$2"',
             "shot", str(self._icon()), path], self.desktop.env, timeout=30, check=True)
