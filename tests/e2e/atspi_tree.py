#!/usr/bin/python3
"""Prints, as JSON, what a screen reader finds of one application over AT-SPI: every
accessible object below it with its role, name, description and states.

    atspi_tree.py APPLICATION-NAME

Run with the desktop's environment (its session bus, where org.a11y.Bus tells the address of
the accessibility bus). Prints [] while the application is not registered yet.
"""

import json
import sys

import pyatspi

STATES = {"focusable": pyatspi.STATE_FOCUSABLE, "showing": pyatspi.STATE_SHOWING,
          "visible": pyatspi.STATE_VISIBLE, "enabled": pyatspi.STATE_ENABLED}
LIMIT = 5000  # objects: a runaway tree fails the check instead of hanging it


def walk(acc, path, out):
    if acc is None or len(out) >= LIMIT:
        return
    states = acc.getState()
    out.append({"path": path, "role": acc.getRoleName(), "name": acc.name or "",
                "description": acc.description or "",
                "states": [k for k, v in STATES.items() if states.contains(v)]})
    for i in range(acc.childCount):
        walk(acc.getChildAtIndex(i), f"{path}/{i}", out)


def main():
    wanted = sys.argv[1]
    desktop = pyatspi.Registry.getDesktop(0)
    out = []
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == wanted:
            walk(app, str(i), out)
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
