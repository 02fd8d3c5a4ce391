#!/usr/bin/python3
"""What a screen reader finds in Kelvane's window, read over AT-SPI.

Prints the window's accessible tree (role, name, description, the states
that matter and the label relations), one object a line, indented by depth.
With --press it then presses the named button through AT-SPI, as a screen
reader would, and prints every event the window sends for --listen seconds.

Usage::

    atspi_window.py [--press "Start Mirror"] [--listen 3]

Needs Debian's python3-pyatspi (run with /usr/bin/python3), a running
AT-SPI bus (at-spi2-core) and Kelvane running on it. Not part of the test
suite: docs/accessibility.md says how to set it all up.
"""

import argparse
import sys

import pyatspi
from gi.repository import GLib

SHOWN_STATES = {
    pyatspi.STATE_FOCUSED: "focused",
    pyatspi.STATE_FOCUSABLE: "focusable",
    pyatspi.STATE_BUSY: "busy",
    pyatspi.STATE_SHOWING: "showing",
    pyatspi.STATE_SENSITIVE: "sensitive",
}
EVENTS = [
    "object:state-changed:showing",
    "object:state-changed:focused",
    "object:state-changed:busy",
    "object:state-changed:sensitive",
    "object:property-change:accessible-name",
    "object:property-change:accessible-description",
    "object:text-changed",
    "object:value-changed",
    "object:selection-changed",
    "object:announcement",
    "focus:",
]


def kelvane():
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and (app.name or "").lower() == "kelvane":
            return app
    sys.exit("Kelvane is not on the AT-SPI bus.")


def describe(obj):
    states = obj.getState()
    shown = [word for state, word in SHOWN_STATES.items() if states.contains(state)]
    line = f'{obj.getRoleName()} "{obj.name}"'
    if obj.description:
        line += f' description="{obj.description}"'
    for relation in obj.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            line += f' labelled-by="{relation.getTarget(0).name}"'
    return line + " [" + " ".join(shown) + "]"


def dump(obj, depth=0):
    print("  " * depth + describe(obj))
    for child in obj:
        if child is not None:
            dump(child, depth + 1)


def find(obj, role, name):
    if obj.getRoleName() == role and obj.name == name:
        return obj
    for child in obj:
        found = child is not None and find(child, role, name)
        if found:
            return found
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--press", help="the name of a button to press")
    parser.add_argument("--listen", type=float, default=3.0, help="seconds to listen after pressing")
    arguments = parser.parse_args()

    app = kelvane()
    for window in app:
        dump(window)
    if not arguments.press:
        return

    button = None
    for window in app:
        button = button or find(window, "push button", arguments.press)
    if button is None:
        sys.exit(f'No button "{arguments.press}".')

    def heard(event):
        detail = f" {event.detail1}" if event.type.startswith("object:state-changed") else ""
        data = f' "{event.any_data}"' if isinstance(event.any_data, str) and event.any_data else ""
        print(f"event {event.type}{detail}{data}: {describe(event.source)}")

    pyatspi.Registry.registerEventListener(heard, *EVENTS)
    print(f'--- pressing "{arguments.press}"')
    GLib.timeout_add(300, lambda: button.queryAction().doAction(0) and False)
    GLib.timeout_add(int(300 + arguments.listen * 1000), lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()


if __name__ == "__main__":
    main()
