#!/usr/bin/python3
"""What a screen reader finds over AT-SPI, as JSON (python3-pyatspi); run with the desktop's
environment, whose session bus tells where the accessibility bus is.

    atspi_tree.py APPLICATION   every object below it: role, name, states
    atspi_tree.py --names SECONDS   a line {"ready": true}, then one line a name change announced
"""

import json
import sys

import pyatspi

STATES = {"focusable": pyatspi.STATE_FOCUSABLE, "showing": pyatspi.STATE_SHOWING}


def walk(acc, path, out):
    if acc is None or len(out) >= 5000:  # a runaway tree fails the check instead of hanging
        return
    out.append({"path": path, "role": acc.getRoleName(), "name": acc.name or "",
                "states": [k for k, v in STATES.items() if acc.getState().contains(v)]})
    for i in range(acc.childCount):
        walk(acc.getChildAtIndex(i), f"{path}/{i}", out)


def names(seconds):
    from gi.repository import GLib

    def heard(event):
        print(json.dumps({"role": event.source.getRoleName(), "name": event.source.name}),
              flush=True)
    pyatspi.Registry.registerEventListener(heard, "object:property-change:accessible-name")
    GLib.timeout_add(int(seconds * 1000), pyatspi.Registry.stop)
    print(json.dumps({"ready": True}), flush=True)
    pyatspi.Registry.start()


if __name__ == "__main__":
    if sys.argv[1] == "--names":
        names(float(sys.argv[2]))
    else:
        desktop, out = pyatspi.Registry.getDesktop(0), []
        for i, app in enumerate(desktop):
            if app is not None and app.name == sys.argv[1]:
                walk(app, str(i), out)
        json.dump(out, sys.stdout)
