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
import ctypes
import ctypes.util
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


def find(root, role, name, prefix=False):
    for child in root:
        if child is None:
            continue
        if child.getRoleName() == role and (
                child.name == name or prefix and child.name.startswith(name)):
            return child
        if child.childCount < 50:
            found = find(child, role, name, prefix)
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


def dump(obj, depth=0):
    """What a screen reader finds under obj: role, name, states that count."""
    shown = [s for s in ("enabled", "focused", "checked")
             if obj.getState().contains(getattr(pyatspi, "STATE_" + s.upper()))]
    print("%s%s %r %s" % ("  " * depth, obj.getRoleName(), obj.name,
                          " ".join(shown)))
    if obj.childCount < 50:
        for child in obj:
            if child is not None:
                dump(child, depth + 1)


def press(obj):
    obj.queryAction().doAction(0)


def focus_after(*keys):
    """Types `keys` one by one and returns the object focused last, as the
    focus events tell a screen reader."""
    heard = []

    def on_focus(event):
        if event.detail1:
            heard.append(event.source)

    pyatspi.Registry.registerEventListener(on_focus,
                                           "object:state-changed:focused")
    for i, k in enumerate(keys):
        GLib.timeout_add(300 * (i + 1), lambda k=k: key(k) and False)
    GLib.timeout_add(300 * (len(keys) + 2),
                     lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    pyatspi.Registry.deregisterEventListener(on_focus,
                                             "object:state-changed:focused")
    return heard[-1] if heard else None


def menu_entry(*keys):
    """Opens the focused list's menu from the keyboard, moves to an entry
    with `keys` and chooses it; the entry's name, without its shortcut."""
    entry = focus_after("shift+F10", *keys)
    name = entry.name.split("\t")[0] if entry is not None else None
    key("Return")
    return name


def dialog_named(title):
    return wait_for(title, lambda: next(
        (w for a in pyatspi.Registry.getDesktop(0) if a is not None
         and a.name == "karvello" for w in a if w.name == title), None))


def more_commands(window, folder):
    """More Commands on List 2, as a screen reader user runs it: Remove
    Dupes ignoring case, its undo from the list's menu, Sort with Natural
    (the dialog opened again keeps Ignore case), then the list saved through
    the real Save dialog."""
    words = os.path.join(folder, "words")
    with open(words, "w") as f:
        f.write("b10\nAnna\nb9\nANNA\nb1\nanna\n")
    subprocess.run(["xclip", "-selection", "clipboard", "-t", "text/plain",
                    words], check=True)
    second = find(window, "list", "List 2")
    second.queryComponent().grabFocus()
    time.sleep(0.3)
    key("ctrl+v")
    wait_for("the paste into List 2", lambda: second.childCount == 6)
    entry = menu_entry("Up")
    if entry != "More Commands\u2026":
        fail("the list menu's last entry: %r" % entry)
    dialog = dialog_named("More Commands (List 2)")
    dump(dialog)
    # On X, Qt names a combo box by its current entry and the label "Command:"
    # labels it.
    command = find(dialog, "combo box", "Remove Dupes")
    labels = [t.name for r in command.getRelationSet()
              if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
              for t in (r.getTarget(i) for i in range(r.getNTargets()))]
    print("Command box labelled by", labels)
    if labels != ["Command:"]:
        fail("the Command box, labelled Command:")
    count = wait_for("the count", lambda: next(
        (l for l in [find(dialog, "label", "Removes 0 of 6 items")] if l), None))
    press(find(dialog, "check box", "Ignore case"))
    wait_for("the count ignoring case",
             lambda: count.name == "Removes 2 of 6 items")
    apply = find(dialog, "push button", "Apply")
    press(apply)
    wait_for("two copies of Anna gone", lambda: second.childCount == 4)
    # The dialog stays; the list's menu names the step, and takes it back.
    # Close hides the dialog, and the focus is back in the list.
    press(find(dialog, "push button", "Close"))
    wait_for("the dialog hidden",
             lambda: not dialog.getState().contains(pyatspi.STATE_SHOWING))
    time.sleep(0.3)
    entry = menu_entry("Down", "Down")
    if entry != "Undo Remove Dupes, Ignoring Case (List 2)":
        fail("the undo entry: %r" % entry)
    wait_for("the undo", lambda: second.childCount == 6)
    entry = menu_entry("Up")
    dialog = dialog_named("More Commands (List 2)")
    key("alt+c")
    key("End")
    key("Up")
    wait_for("Sort chosen", lambda: find(dialog, "combo box", "Sort"))
    press(find(dialog, "check box", "Natural"))
    count = wait_for("the count of Sort", lambda: find(
        dialog, "label", "Sorts 6 items"))
    press(find(dialog, "push button", "Apply"))
    wait_for("the sorted list", lambda: second.getChildAtIndex(5) is not None
             and second.getChildAtIndex(5).name == "b10")
    press(find(dialog, "push button", "Close"))
    time.sleep(0.3)
    save_list(window, 2, os.path.join(folder, "saved"),
              "Anna\r\nANNA\r\nanna\r\nb1\r\nb9\r\nb10\r\n")


def save_list(window, number, path, expected):
    panel = find(window, "panel", "List %d" % number) or window
    save = find(panel, "push button", "Save")
    press(save)
    subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                    "^Save List"], check=True, stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    subprocess.run(["xdotool", "type", "--delay", "10", path], check=True)
    key("Return")
    wait_for("the saved file", lambda: os.path.exists(path))
    time.sleep(0.3)
    with open(path, newline="") as f:
        saved = f.read()
    print("saved:", repr(saved))
    if saved != expected:
        fail("the list as saved")


def ask_to_close(title):
    """Asks the window named `title` to close, as its close button does:
    the window manager's WM_DELETE_WINDOW message."""
    window = int(subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                                 title], check=True,
                                capture_output=True).stdout.split()[0])
    x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                               ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    display = x11.XOpenDisplay(None)
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


def close_while_loading(window, folder):
    """The window's close button while a Load waits for a pipe that never
    ends: the Load is cancelled and the window closes, so the program ends."""
    fifo = os.path.join(folder, "fifo")
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # held open: the read waits for good
    press(find(find(window, "panel", "List 2"), "push button", "Load"))
    dialog = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible",
                             "--name", "^Load List"], check=True,
                            capture_output=True).stdout.split()[0]
    subprocess.run(["xdotool", "windowactivate", "--sync", dialog], check=True)
    time.sleep(0.5)
    subprocess.run(["xdotool", "type", "--delay", "10", fifo], check=True)
    key("Return")
    for _ in range(6):
        time.sleep(0.5)
        if subprocess.run(["xdotool", "search", "--onlyvisible", "--name",
                           "^Load List"], stdout=subprocess.DEVNULL).returncode:
            break
        key("Return")
    subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name",
                    "^Tessolin$"], check=True, stdout=subprocess.DEVNULL)
    ask_to_close("^Karvello$")
    try:
        code = program.wait(timeout=15)
    except subprocess.TimeoutExpired:
        fail("the close button did nothing during a Load")
    os.close(writer)
    print("closed during a Load, exit", code)
    if code != 0:
        fail("the program ended with %d" % code)


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
    more_commands(window, folder)
    close_while_loading(window, folder)
    print("heard right")
finally:
    program.kill()
