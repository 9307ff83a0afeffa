#!/usr/bin/python3
# The real program on a real X server, driven from outside as a user and a
# screen reader drive it: buttons pressed through AT-SPI, a file chosen in the
# real file dialog, keys from xdotool, the clipboard of a second program
# (xclip). Checks what a screen reader hears (the window as a frame, active
# again with its focus told after each dialog; the buttons' role, actions
# and states; the list's item count and the selected item's position; Tab
# into the list naming the list, then the item; focus events that name
# their item after a scroll), that pasted bytes stay as they were in each
# format that xclip offers, and that a copy gives the bytes where bytes are
# asked for and the text where text is. Run by CTest under
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


def listen(events, act, enough, seconds=15):
    """Runs act() and returns (type, detail1, role, name) of each of
    `events` heard until enough(heard) or the time is up."""
    heard = []

    def on_event(event):
        try:
            heard.append((event.type, event.detail1,
                          event.source.getRoleName(), event.source.name))
        except GLib.GError:
            pass  # from a dialog that is gone already
        if enough(heard):
            pyatspi.Registry.stop()

    for name in events:
        pyatspi.Registry.registerEventListener(on_event, name)
    GLib.timeout_add(300, lambda: act() and False)
    timer = GLib.timeout_add(seconds * 1000,
                             lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    GLib.source_remove(timer)  # or it stops a later listen
    for name in events:
        pyatspi.Registry.deregisterEventListener(on_event, name)
    return heard


def focus_after_activation(heard):
    """Whether the window became active again and then told where its focus
    is, as a screen reader needs to go on speaking."""
    activated = [i for i, e in enumerate(heard)
                 if e[:1] == ("window:activate",) and e[2:] == ("frame", "Karvello")]
    return bool(activated) and any(
        e[0] == "object:state-changed:focused" and e[1] == 1
        for e in heard[activated[-1] + 1:])


def through_dialog(press, title, *answer):
    """Presses a button that opens a real dialog, answers it with keys or
    typed text once it is the active window, and checks that the main
    window comes back as a screen reader needs it."""
    def answer_it():
        for step in answer:
            if step.startswith("/"):
                subprocess.run(["xdotool", "type", "--delay", "10", step], check=True)
            else:
                key(step)
        # A completion list that pops up late takes the first Return.
        for _ in range(6):
            time.sleep(0.5)
            if subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                               title], stdout=subprocess.DEVNULL).returncode != 0:
                break
            key(answer[-1])

    opened = []

    def enough(heard):
        if not opened:
            if heard[-1][:1] == ("window:activate",) and heard[-1][2] == "dialog":
                opened.append(len(heard))
                GLib.timeout_add(500, lambda: answer_it() and False)
            return False
        return focus_after_activation(heard[opened[0]:])

    heard = listen(["window:activate", "object:state-changed:focused"], press,
                   enough)
    print("after", title, "heard", heard[-3:])
    if not opened or not focus_after_activation(heard[opened[0]:]):
        fail("no focus in the active window after " + title)


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

    # The window is a top-level frame, which a screen reader looks for to
    # know the active window. The buttons are push buttons that Press; the
    # unseen focus holder reads as the window.
    if window.getRoleName() != "frame" or window.name != "Karvello":
        fail("the window is a %s, not a frame" % window.getRoleName())
    load = find(window, "push button", "Load")
    if load is None:
        fail("no push button Load")
    actions, states = describe(load)
    if actions[:1] != ["Press"] or "checked" in states or "checkable" in states:
        fail("Load is not a push button that presses")
    holder = find(window, "filler", "Karvello")
    if holder is None or "focusable" not in describe(holder)[1]:
        fail("the unseen focus holder")

    # Load, pressed as a screen reader presses it, through the real dialog;
    # a cancelled Load and a Save too. After each, the window is active
    # again and says where the focus is.
    press_load = lambda: load.queryAction().doAction(0)
    through_dialog(press_load, "^Load List", "Escape")
    through_dialog(press_load, "^Load List", items, "Return")
    lists = find(window, "list", "List 1")
    wait_for("40 items", lambda: lists.childCount == 40)
    save = find(find(window, "panel", "List 1"), "push button", "Save")
    through_dialog(lambda: save.queryAction().doAction(0), "^Save List",
                   os.path.join(folder, "saved.txt"), "Return")
    wait_for("the saved list", lambda: os.path.exists(os.path.join(folder, "saved.txt")))

    # Tab from Load into the list, whose item 10 of 40 is selected: the
    # list is named first, then the item, where the focus stays.
    lists.queryTable().addRowSelection(9)
    load.queryComponent().grabFocus()
    wait_for("the focus on Load", lambda: "focused" in describe(load)[1])
    heard = listen(["object:state-changed:focused"], lambda: key("Tab"),
                   lambda heard: [e for e in heard if e[1] == 1][1:])
    print("tab heard", heard)
    if [e[2:] for e in heard if e[1] == 1] != [("list", "List 1"),
                                               ("list item", "item 10")]:
        fail("Tab into the list names the list, then the item")
    wait_for("the focus on item 10",
             lambda: "focused" in describe(lists.getChildAtIndex(9))[1])
    item = lists.getChildAtIndex(9)
    if item.name != "item 10" or item.getIndexInParent() != 9:
        fail("item 10 of 40")

    # Down moves the focus from item 10 to item 11, and End, which scrolls
    # the list, from there to item 40: each event names its own item, also
    # the one that loses the focus after the scroll.
    heard = []

    def on_focus(event):
        heard.append((event.detail1, event.source.name,
                      event.source.getIndexInParent()))
        if len(heard) >= 4:
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
    if heard != [(0, "item 10", 9), (1, "item 11", 10), (0, "item 11", 10),
                 (1, "item 40", 39)]:
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

    # Copy Item and Copy List of an item that is not UTF-8: what promises
    # UTF-8 (or Latin-1, STRING) gets the text as the list reads it, the
    # window's own format and text/plain the bytes.
    def clipboard(target):
        return subprocess.run(["xclip", "-o", "-selection", "clipboard", "-t",
                               target], check=True, capture_output=True).stdout
    lists.queryTable().addRowSelection(40)
    time.sleep(0.3)
    key("ctrl+c")
    time.sleep(0.3)
    for target, expected in [("application/x-karvello-list", b"caf\xe9"),
                             ("text/plain", b"caf\xe9"),
                             ("UTF8_STRING", "caf\u00e9".encode()),
                             ("text/plain;charset=utf-8", "caf\u00e9".encode()),
                             ("STRING", b"caf\xe9")]:
        copied = clipboard(target)
        print("Copy Item as", target, copied)
        if copied != expected:
            fail("Copy Item as " + target)
    key("ctrl+shift+c")
    time.sleep(0.3)
    tail = "item 40\ncaf\u00e9\ncaf\u00e9\ncaf\ufffd\n"
    if not (clipboard("UTF8_STRING").endswith(tail.encode()) and
            clipboard("text/plain").endswith(b"item 40\ncaf\xe9\ncaf\xe9\n"
                                             b"caf\xef\xbf\xbd\n")):
        fail("Copy List as UTF8_STRING and text/plain")
    print("heard right")
finally:
    program.kill()
