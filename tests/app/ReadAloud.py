#!/usr/bin/python3
# What a screen reader hears of the window, read through AT-SPI as one reads
# it: the buttons' role, actions and states, the list's item count and the
# selected item's position, and the focus events when the End key scrolls
# the list. Run by Form1Test on a real X server with its own D-Bus session,
# with List 1 holding "item 1" ... "item 40", item 10 selected and the focus
# in the list. Prints what it heard; exits 1 on the first thing heard wrong.
# Usage: ReadAloud.py APPLICATION-NAME
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib


def fail(what):
    print("heard wrong:", what)
    sys.exit(1)


def find(root, role, name):
    for child in root:
        if child is None:
            continue
        if child.getRoleName() == role and child.name == name:
            return child
        if child.childCount < 50:
            found = find(child, role, name)
            if found is not None:
                return found
    return None


def describe(obj):
    action = obj.queryAction() if "Action" in pyatspi.listInterfaces(obj) else None
    actions = [action.getName(i) for i in range(action.nActions)] if action else []
    states = sorted(pyatspi.stateToString(s) for s in obj.getState().getStates())
    line = "%s %r, %d of %d, actions %s, states %s" % (
        obj.getRoleName(), obj.name, obj.getIndexInParent() + 1,
        obj.parent.childCount, actions, states)
    print(line)
    return actions, states


app = None
for _ in range(100):
    app = next((a for a in pyatspi.Registry.getDesktop(0)
                if a is not None and a.name == sys.argv[1]), None)
    if app is not None:
        break
    time.sleep(0.1)
if app is None:
    fail("no application %s on the bus" % sys.argv[1])

button = find(app, "push button", "Load")
if button is None:
    fail("no push button Load")
actions, states = describe(button)
if actions[:1] != ["Press"] or "checked" in states or "checkable" in states:
    fail("Load is not a push button that presses")
holder = find(app[0], "filler", "Karvello")  # in the window of that name
if holder is None or "focusable" not in describe(holder)[1]:
    fail("the unseen focus holder")

items = find(app, "list", "List 1")
if items is None or items.childCount != 40:
    fail("List 1 with 40 items")
selected = items.queryTable().getSelectedRows()
if list(selected) != [9]:
    fail("selected rows %s" % list(selected))
item = items.getChildAtIndex(9)
actions, states = describe(item)
if (item.name != "item 10" or item.getIndexInParent() != 9
        or "selected" not in states or "focused" not in states):
    fail("item 10 of 40, selected and focused")

# Down moves the focus to item 11, and End, which scrolls the list, from
# there to item 40: each event names its own item, also the one that loses
# the focus after the scroll.
heard = []


def on_focus(event):
    heard.append((event.detail1, event.source.name,
                  event.source.getIndexInParent()))
    if len(heard) >= 3:
        pyatspi.Registry.stop()


def press(keys):
    subprocess.call(["xdotool", "key"] + keys)
    return False


pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
GLib.timeout_add(300, press, ["Down"])
GLib.timeout_add(800, press, ["End"])
GLib.timeout_add(10000, lambda: pyatspi.Registry.stop() or False)
pyatspi.Registry.start()
print("focus events:", heard)
if heard != [(1, "item 11", 10), (0, "item 11", 10), (1, "item 40", 39)]:
    fail("the focus events of Down and End")
print("heard right")
