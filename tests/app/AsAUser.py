#!/usr/bin/python3
# The real program on a real X server, driven from outside as a user and a
# screen reader drive it: buttons pressed through AT-SPI, a file chosen in the
# real file dialog, keys from xdotool, the clipboard of a second program
# (xclip). Checks what a screen reader hears (the buttons' role, actions and
# states; the list's item count and the selected item's position; focus
# events that name their item after a scroll) and that pasted bytes stay as
# they were in each format that xclip offers. Run by CTest under
# RunUnderX.sh and dbus-run-session, so that the accessibility bus is the
# test's own. Prints what it heard; exits 1 on the first thing that is wrong.
# Usage: AsAUser.py PATH-OF-KARVELLO
import os
import subprocess
import sys
import tempfile
import time

import pyatspi
from gi.repository import GLib


def fail(what):
    print("wrong:", what)
    sys.exit(1)


def wait_for(what, condition, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    fail("waited in vain for " + what)


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
    print("%s %r, %d of %d, actions %s, states %s" % (
        obj.getRoleName(), obj.name, obj.getIndexInParent() + 1,
        obj.parent.childCount, actions, states))
    return actions, states


def key(*keys):
    subprocess.run(["xdotool", "key", "--clearmodifiers"] + list(keys), check=True)


folder = tempfile.mkdtemp()
items = os.path.join(folder, "items.txt")
with open(items, "w") as f:
    f.write("".join("item %d\n" % i for i in range(1, 41)))
env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
program = subprocess.Popen([sys.argv[1]], env=env)
try:
    app = wait_for("the program on the bus", lambda: next(
        (a for a in pyatspi.Registry.getDesktop(0)
         if a is not None and a.name == "karvello"), None))
    window = wait_for("its window", lambda: app[0] if app.childCount else None)

    # The buttons are push buttons that Press; the unseen focus holder reads
    # as the window.
    load = find(window, "push button", "Load")
    if load is None:
        fail("no push button Load")
    actions, states = describe(load)
    if actions[:1] != ["Press"] or "checked" in states or "checkable" in states:
        fail("Load is not a push button that presses")
    holder = find(window, "filler", "Karvello")
    if holder is None or "focusable" not in describe(holder)[1]:
        fail("the unseen focus holder")

    # Load, pressed as a screen reader presses it, through the real dialog.
    load.queryAction().doAction(0)
    subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                    "^Load List"], check=True, stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    subprocess.run(["xdotool", "type", "--delay", "10", items], check=True)
    key("Return")
    lists = find(window, "list", "List 1")
    wait_for("40 items", lambda: lists.childCount == 40)

    # Item 10 of 40, selected, with the focus in the list.
    lists.queryTable().addRowSelection(9)
    lists.queryComponent().grabFocus()
    wait_for("the focus on item 10",
             lambda: "focused" in describe(lists.getChildAtIndex(9))[1])
    item = lists.getChildAtIndex(9)
    if item.name != "item 10" or item.getIndexInParent() != 9:
        fail("item 10 of 40")

    # Down moves the focus to item 11, and End, which scrolls the list, from
    # there to item 40: each event names its own item, also the one that
    # loses the focus after the scroll.
    heard = []

    def on_focus(event):
        heard.append((event.detail1, event.source.name,
                      event.source.getIndexInParent()))
        if len(heard) >= 3:
            pyatspi.Registry.stop()

    pyatspi.Registry.registerEventListener(on_focus,
                                           "object:state-changed:focused")
    GLib.timeout_add(300, lambda: key("Down") and False)
    GLib.timeout_add(800, lambda: key("End") and False)
    GLib.timeout_add(10000, lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    pyatspi.Registry.deregisterEventListener(on_focus,
                                             "object:state-changed:focused")
    print("focus events:", heard)
    if heard != [(1, "item 11", 10), (0, "item 11", 10), (1, "item 40", 39)]:
        fail("the focus events of Down and End")

    # Bytes that are not UTF-8 pasted from xclip in each format: kept, but
    # for UTF8_STRING, which claims UTF-8 and is read as such. Copy Item
    # hands them on to another program as they are.
    bytes_file = os.path.join(folder, "bytes")
    with open(bytes_file, "wb") as f:
        f.write(b"caf\xe9")
    for count, (target, expected, shown) in enumerate([
            ("application/x-karvello-list", b"caf\xe9", "caf\u00e9"),
            ("text/plain", b"caf\xe9", "caf\u00e9"),
            ("UTF8_STRING", b"caf\xef\xbf\xbd", "caf\ufffd")], start=41):
        subprocess.run(["xclip", "-selection", "clipboard", "-t", target,
                        bytes_file], check=True)
        lists.queryComponent().grabFocus()
        time.sleep(0.3)
        key("ctrl+v")
        wait_for("the paste of " + target, lambda: lists.childCount == count)
        pasted = lists.getChildAtIndex(count - 1)
        lists.queryTable().addRowSelection(count - 1)
        key("ctrl+c")
        time.sleep(0.3)
        copied = subprocess.run(["xclip", "-o", "-selection", "clipboard", "-t",
                                 "text/plain"], check=True,
                                capture_output=True).stdout
        print(target, "pasted as", repr(pasted.name), "copied", copied)
        if pasted.name != shown or copied != expected:
            fail("the bytes pasted from " + target)
    print("heard right")
finally:
    program.kill()
