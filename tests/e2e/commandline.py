"""The program's command line (vennatro --ping ...) run as a plain process: no display in its
environment, a configuration folder of the caller's choosing, bounded in time."""

import os
import signal
import subprocess
import time

# Anything that would let Qt reach a display or pick a platform of its own.
_DISPLAY_VARIABLES = ("DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XAUTHORITY",
                      "QT_QPA_PLATFORM")


class Run:
    def __init__(self, argv, status, out, err, seconds):
        self.argv = argv
        self.status = status
        self.out = out  # text, as printed
        self.err = err
        self.seconds = seconds

    def __str__(self):
        return (f"$ {' '.join(repr(a) for a in self.argv)}\n  exit status {self.status} "
                f"after {self.seconds:.2f} s\n  stdout: {self.out[-1500:]!r}\n"
                f"  stderr: {self.err[-1500:]!r}")


class CommandLine:
    """base_env: the environment to start from; the display variables are taken out of it."""

    def __init__(self, program, base_env, config_home):
        self.program = program
        self.env = {k: v for k, v in base_env.items() if k not in _DISPLAY_VARIABLES}
        self.env["XDG_CONFIG_HOME"] = config_home
        self.runs = []  # every Run, for the report of a failure

    def run(self, *args, timeout=30, config_home=None):
        env = dict(self.env)
        if config_home:
            env["XDG_CONFIG_HOME"] = config_home
        leaked = [k for k in _DISPLAY_VARIABLES if k in env]
        assert not leaked, f"the command line's environment still has {leaked}"
        argv = [self.program] + list(args)
        started = time.monotonic()
        # A session of its own, gone with the harness: a hung ping cannot outlive the check.
        proc = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + argv, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
        try:
            out, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            run = Run(argv, None, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"),
                      time.monotonic() - started)
            self.runs.append(run)
            raise AssertionError(f"the command line did not end within {timeout} s:\n{run}")
        run = Run(argv, proc.returncode, out.decode("utf-8", "replace"),
                  err.decode("utf-8", "replace"), time.monotonic() - started)
        self.runs.append(run)
        return run

    def report(self, last=4):
        return "\n".join(str(r) for r in self.runs[-last:])
