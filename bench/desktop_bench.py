#!/usr/bin/python3
"""The built program on a private headless desktop (Xvfb, a session bus of its own, openbox,
trayer, dunst; tests/e2e/desktop.py starts it), measured from outside:

  startup   time from process start to the main window on screen and to the tray icon docked
            in trayer, N starts with the window and N with -quiet; the program is ended with
            SIGTERM (an orderly end) between starts
  memory    VmRSS after start, then while 1,000 pings with "Save log" on run against nginx on
            127.0.0.1 (Ctrl+P sent through XTEST, again and again until the next completion
            line is in the log file)
  idle      CPU time (utime+stime and the threads' run time) and wake-ups (voluntary context
            switches of every thread) over a minute, automatic ping off and on, with the
            window shown and active, shown behind another client's window, and -quiet; then a
            shorter strace -c -f of the same state to name the system calls

    desktop_bench.py --program build-bench/vennatro [--only startup,memory,idle]
                     [--runs 10] [--pings 1000] [--idle 60] [--strace 20]

Prints Markdown tables. Every process started is stopped at the end, also on failure.
"""

import argparse
import ctypes
import os
import re
import signal
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing of ours lands in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import store  # noqa: E402
from desktop import PROCESSES, Desktop, make_root, remove_root, run, wait_for  # noqa: E402
from program import Program  # noqa: E402
from servers import Nginx  # noqa: E402

CLK_TCK = os.sysconf("SC_CLK_TCK")
XA_CARDINAL = 6


# ---------------------------------------------------------------------------------------------
# Fast probes of the X server (a subprocess a probe would cost more than what is measured)


class XProbe:
    def __init__(self, desktop):
        self.desktop = desktop
        self.x = desktop.x
        lib = self.x.lib
        self.lib = lib
        lib.XGetWindowProperty.restype = ctypes.c_int
        lib.XGetWindowProperty.argtypes = [
            ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long,
            ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
            ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
        lib.XKeysymToKeycode.restype = ctypes.c_ubyte
        lib.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        lib.XFlush.argtypes = [ctypes.c_void_p]
        self.pid_atom = lib.XInternAtom(self.x.dpy, b"_NET_WM_PID", 0)
        self.clients_atom = lib.XInternAtom(self.x.dpy, b"_NET_CLIENT_LIST", 0)
        self.trays = desktop.tray_window()
        if not self.trays:
            raise RuntimeError("no trayer window")
        self.xtst = ctypes.CDLL("libXtst.so.6")
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                ctypes.c_ulong]

    def _cardinals(self, window, atom, length=1):
        actual_type = ctypes.c_ulong()
        actual_format = ctypes.c_int()
        nitems = ctypes.c_ulong()
        after = ctypes.c_ulong()
        data = ctypes.c_void_p()
        ok = self.lib.XGetWindowProperty(self.x.dpy, window, atom, 0, length, 0, 0,
                                         ctypes.byref(actual_type), ctypes.byref(actual_format),
                                         ctypes.byref(nitems), ctypes.byref(after),
                                         ctypes.byref(data))
        if ok != 0 or not data.value:
            return []
        try:
            if actual_format.value != 32:
                return []
            array = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))
            return [array[i] for i in range(nitems.value)]
        finally:
            self.x.lib.XFree(data)

    def pid_of(self, window):
        values = self._cardinals(window, self.pid_atom)
        return values[0] if values else None

    def docked(self, pid):
        """A window of pid inside trayer, or None."""
        for tray in self.trays:
            for w in self.x.descendants(tray):
                if self.pid_of(w) == pid:
                    return w
        return None

    def managed_window(self, pid):
        """A viewable window of pid that openbox manages (the main window), or None."""
        for w in self._cardinals(self.x.root(), self.clients_atom, 4096):
            if self.pid_of(w) == pid:
                attrs = self.x._attributes(w)
                if attrs is not None and attrs.map_state == 2:
                    return w
        return None

    def ctrl_p(self):
        dpy = self.x.dpy
        ctrl = self.lib.XKeysymToKeycode(dpy, 0xFFE3)  # Control_L
        p = self.lib.XKeysymToKeycode(dpy, ord("p"))
        for code, down in ((ctrl, 1), (p, 1), (p, 0), (ctrl, 0)):
            self.xtst.XTestFakeKeyEvent(dpy, code, down, 0)
        self.lib.XFlush(dpy)


def poll(predicate, timeout, what, interval=0.002):
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# /proc


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return None


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def threads(pid):
    """tid -> (name, run time ns, voluntary switches, forced switches)."""
    out = {}
    base = f"/proc/{pid}/task"
    for tid in os.listdir(base):
        try:
            with open(f"{base}/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"{base}/{tid}/schedstat") as f:
                run_ns = int(f.read().split()[0])
            vol = inv = 0
            with open(f"{base}/{tid}/status") as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        vol = int(line.split()[1])
                    elif line.startswith("nonvoluntary_ctxt_switches:"):
                        inv = int(line.split()[1])
            out[int(tid)] = (name, run_ns, vol, inv)
        except OSError:
            pass  # the thread ended meanwhile
    return out


def median_and_spread(values):
    values = sorted(values)
    return statistics.median(values), values[0], values[-1]


# ---------------------------------------------------------------------------------------------
# The bench


class Bench:
    def __init__(self, args):
        self.args = args
        self.root = make_root("vennatro-bench-")
        self.desktop = Desktop("xembed", os.path.join(self.root, "desktop"))
        self.nginx = None
        self.program = None
        self.probe = None
        self.log_path = os.path.join(self.root, "vlog", "vennatro.log")

    def __enter__(self):
        self.desktop.start()
        self.probe = XProbe(self.desktop)
        self.nginx = Nginx(self.root, self.desktop.log_dir)
        self.nginx.start(self.desktop.env)
        return self

    def __exit__(self, *exc):
        if self.program:
            self.program.kill()
        if self.nginx:
            self.nginx.stop()
        self.desktop.stop()
        remove_root(self.root)
        return False

    def write_store(self, **extra):
        values = {"HTTP port": self.nginx.port, "Save log": 1, "Log file": self.log_path}
        values.update(extra)
        store.write_store(self.desktop.config_home, values)

    def start(self, *args):
        self.program = Program(self.args.program, self.desktop)
        t0 = time.monotonic()
        self.program.start(*args)
        return t0

    def stop(self):
        """An orderly end (SIGTERM), waited for."""
        proc = self.program.proc
        proc.send_signal(signal.SIGTERM)
        rc = proc.wait(timeout=30)
        PROCESSES.forget(proc)
        self.program = None
        return rc

    def settle(self, pid):
        """Start-up work done: the window (or icon) up and the CPU quiet for a second."""
        last = cpu_ticks(pid)
        quiet_since = time.monotonic()
        deadline = quiet_since + 30
        while time.monotonic() < deadline:
            time.sleep(0.25)
            now = cpu_ticks(pid)
            if now != last:
                last = now
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since >= 1.0:
                return
        raise AssertionError("the program never became quiet")

    # -- start-up ------------------------------------------------------------------------

    def startup(self):
        self.write_store()
        print(f"\n### Start-up ({self.args.runs} starts each, after one unmeasured start)\n")
        print("| start | to main window on screen (ms): median [min, max] "
              "| to icon docked in trayer (ms): median [min, max] |")
        print("|---|---|---|")
        for label, argv in (("window shown", ()), ("-quiet", ("-quiet",))):
            window_ms, dock_ms = [], []
            for i in range(self.args.runs + 1):
                t0 = self.start(*argv)
                pid = self.program.pid
                t_window = None
                t_dock = None
                deadline = t0 + 30
                while t_dock is None or (not argv and t_window is None):
                    if self.program.proc.poll() is not None:
                        raise AssertionError(f"the program ended: {self.program.output()}")
                    if time.monotonic() > deadline:
                        raise AssertionError("no window or no docked icon within 30 s")
                    if t_window is None and not argv and self.probe.managed_window(pid):
                        t_window = time.monotonic()
                    if t_dock is None and self.probe.docked(pid):
                        t_dock = time.monotonic()
                    time.sleep(0.002)
                if argv and self.probe.managed_window(pid):
                    raise AssertionError("-quiet showed a window")
                # The icon can dock while the window is still being created; a SIGTERM that
                # early is not acted on, so let the start finish first.
                self.settle(pid)
                rc = self.stop()
                if rc != 0:
                    raise AssertionError(f"SIGTERM ended the program with status {rc}")
                if i == 0:
                    continue  # first start after the store was written: caches, fonts
                dock_ms.append((t_dock - t0) * 1000)
                if t_window is not None:
                    window_ms.append((t_window - t0) * 1000)
            w = "%.0f [%.0f, %.0f]" % median_and_spread(window_ms) if window_ms else "-"
            d = "%.0f [%.0f, %.0f]" % median_and_spread(dock_ms)
            print(f"| {label} | {w} | {d} |", flush=True)

    # -- memory --------------------------------------------------------------------------

    def memory(self):
        if os.path.exists(self.log_path):
            os.remove(self.log_path)
        self.write_store()
        address = "http://127.0.0.1/bench"
        self.start()
        p = self.program
        wid = p.wait_main_window(30)
        p.wait_tray_docked(30)
        pid = p.pid
        self.settle(pid)
        rows = [("after start", 0, rss_kib(pid), os.path.getsize(self.log_path))]
        p.key(wid, "End", "shift+Home", "BackSpace")
        p.type_text(wid, address)
        p.activate(wid)

        completed = re.compile(rb"\] Connection to \[" + re.escape(address.encode()) +
                               rb"/?\] \(port \d+\) completed in ")
        offset = 0
        tail = b""
        done = 0
        presses = 0
        started = time.monotonic()
        step = max(1, self.args.pings // 4)

        def read_new():
            nonlocal offset, tail
            with open(self.log_path, "rb") as f:
                f.seek(offset)
                data = f.read()
            offset += len(data)
            text = tail + data
            count = len(completed.findall(text))
            tail = text[-200:]
            # A match wholly inside the kept tail was counted already.
            return count - len(completed.findall(tail))

        while done < self.args.pings:
            self.probe.ctrl_p()
            presses += 1
            # A press while the previous ping is still ending is ignored by the program (the
            # command is disabled until the server's close is seen): press again when nothing
            # came within 30 ms. A loopback ping takes a few ms; a press during one is ignored.
            deadline = time.monotonic() + 0.03
            got = 0
            while not got and time.monotonic() < deadline:
                p.assert_running(" during the pings")
                got = read_new()
                if not got:
                    time.sleep(0.001)
            done += got
            if got and done % step == 0:
                rows.append((f"after {done} pings", done, rss_kib(pid),
                             os.path.getsize(self.log_path)))
        elapsed = time.monotonic() - started
        self.settle(pid)
        rows.append((f"after {done} pings, settled", done, rss_kib(pid),
                     os.path.getsize(self.log_path)))
        hits = len(self.nginx.requests())
        rc = self.stop()
        print(f"\n### Resident memory ({done} pings in {elapsed:.0f} s, {presses} key presses, "
              f"{hits} requests at nginx; orderly end: status {rc})\n")
        print("| when | VmRSS (MiB) | log file (KiB) |")
        print("|---|---|---|")
        for label, _, rss, size in rows:
            print(f"| {label} | {rss / 1024:.1f} | {size / 1024:.1f} |")
        sys.stdout.flush()

    # -- idle ----------------------------------------------------------------------------

    def idle(self):
        auto_on = {"Auto-ping at start": 1, "Auto-ping address": "http://127.0.0.1/idle",
                   "Auto-ping interval": 15}
        # (label, arguments, store values, another window active)
        cases = [
            ("automatic ping off, window shown and active", (), {}, False),
            ("automatic ping off, window shown, another window active", (), {}, True),
            ("automatic ping off, -quiet", ("-quiet",), {}, False),
            ("automatic ping on (every 15 min), window shown and active", (), auto_on, False),
            ("automatic ping on (every 15 min), -quiet", ("-quiet",), auto_on, False),
        ]
        seconds = self.args.idle
        print(f"\n### Idle, {seconds} s each\n")
        print("| case | CPU utime+stime (ms) | threads' run time (ms) "
              "| wake-ups (voluntary switches) | forced switches | per thread (voluntary) |")
        print("|---|---|---|---|---|---|")
        traces = []
        for label, argv, extra, elsewhere in cases:
            self.write_store(**extra)
            self.start(*argv)
            p = self.program
            if argv:
                p.wait_tray_docked(30)
            else:
                p.activate(p.wait_main_window(30))
                p.wait_tray_docked(30)
            other = self.focus_elsewhere() if elsewhere else None
            pid = p.pid
            self.settle(pid)
            t0 = threads(pid)
            c0 = cpu_ticks(pid)
            time.sleep(seconds)
            c1 = cpu_ticks(pid)
            t1 = threads(pid)
            run_ns = sum(t1[t][1] - t0.get(t, (0, 0, 0, 0))[1] for t in t1)
            vol = sum(t1[t][2] - t0.get(t, (0, 0, 0, 0))[2] for t in t1)
            inv = sum(t1[t][3] - t0.get(t, (0, 0, 0, 0))[3] for t in t1)
            per = ", ".join(f"{t1[t][0]} {t1[t][2] - t0.get(t, (0, 0, 0, 0))[2]}"
                            for t in sorted(t1))
            print(f"| {label} | {(c1 - c0) * 1000 / CLK_TCK:.0f} | {run_ns / 1e6:.1f} | {vol} "
                  f"| {inv} | {per} |", flush=True)
            if self.args.strace:
                traces.append((label, self.strace(pid, self.args.strace)))
            rc = self.stop()
            if other:
                PROCESSES.stop(other)
            if rc != 0:
                raise AssertionError(f"SIGTERM ended the program with status {rc}")
        for label, text in traces:
            print(f"\nstrace -c -f -p PID, {self.args.strace} s, {label}:\n")
            print("```")
            print(text.rstrip())
            print("```")
        sys.stdout.flush()

    def focus_elsewhere(self):
        """A window of another client, made the active one (the program's window loses the
        focus, as when the user works in another program)."""
        proc = PROCESSES.start("xmessage", ["xmessage", "-geometry", "+0+500", "elsewhere"],
                               self.desktop.env, self.desktop.log_dir)

        def window():
            # xmessage sets no _NET_WM_PID: found by its class instead.
            ids = run(["xdotool", "search", "--onlyvisible", "--classname", "^xmessage$"],
                      self.desktop.env).stdout.split()
            return ids[-1] if ids else None
        wid = wait_for(window, 20, "the xmessage window")
        run(["xdotool", "windowactivate", "--sync", wid], self.desktop.env, timeout=15)
        wait_for(lambda: run(["xdotool", "getactivewindow"], self.desktop.env).stdout.strip()
                 == wid, 10, "the xmessage window to become active")
        return proc

    def strace(self, pid, seconds):
        out = os.path.join(self.root, "strace.txt")
        proc = subprocess.Popen(["strace", "-c", "-f", "-q", "-o", out, "-p", str(pid)],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            time.sleep(seconds)
        finally:
            proc.send_signal(signal.SIGINT)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        with open(out) as f:
            return f.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default=os.path.join(HERE, "..", "build-bench", "vennatro"))
    parser.add_argument("--only", default="startup,memory,idle")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--pings", type=int, default=1000)
    parser.add_argument("--idle", type=int, default=60)
    parser.add_argument("--strace", type=int, default=20,
                        help="seconds of strace -c per idle case; 0 skips it")
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    parts = args.only.split(",")
    with Bench(args) as bench:
        print(f"program: {args.program}")
        if "startup" in parts:
            bench.startup()
        if "memory" in parts:
            bench.memory()
        if "idle" in parts:
            bench.idle()


if __name__ == "__main__":
    main()
