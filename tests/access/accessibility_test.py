#!/usr/bin/python3
"""What a screen reader finds in palvex-sim, through AT-SPI: every control on screen has a
name, the names that tell the channels apart are there, the traffic views give their text, and
a change of the Kit's state is announced. Run by run-accessibility-test, which starts the
program on a private X server and accessibility bus."""
import re
import sys
import time

import pyatspi
from gi.repository import GLib

# Roles a user acts on or reads as a unit: each needs a name a screen reader can speak.
CONTROL_ROLES = {
    pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_RADIO_BUTTON,
    pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY,
    pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_PAGE_TAB, pyatspi.ROLE_SLIDER, pyatspi.ROLE_FRAME,
    pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT,
}
failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text, flush=True)


def wait_for(what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        try:
            found = what()
        except Exception:  # an object may go away while it is looked at
            found = None
        if found or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def walk(acc, path=()):
    """Every object under acc (acc included), with the names of the objects above it."""
    yield acc, path
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, path + (acc.name or acc.getRoleName(),))


def windows():
    for app in pyatspi.Registry.getDesktop(0):
        if app is None:
            continue
        for i in range(app.childCount):
            window = app.getChildAtIndex(i)
            if window is not None:
                yield window


def window_named(name):
    return next((w for w in windows() if w.name == name), None)


def find(window, role, name):
    return next((a for a, _ in walk(window) if a.getRole() == role and a.name == name), None)


def check_names(window, where):
    for acc, path in walk(window):
        if acc.getRole() in CONTROL_ROLES and showing(acc) and not acc.name.strip():
            fail("%s: a %s without a name, under %s" % (where, acc.getRoleName(), " > ".join(path)))


def expect(window, role, name):
    acc = find(window, role, name)
    if acc is None:
        fail("no %s named %r" % (role, name))
    return acc


def press(acc):
    action = acc.queryAction()
    action.doAction(0)


def main():
    main_window = wait_for(lambda: window_named("Demo and Test"))
    sim = wait_for(lambda: window_named("Simulated Kit"))
    if main_window is None or sim is None:
        fail("palvex-sim's windows did not appear on the accessibility bus")
        return
    if not wait_for(lambda: find(main_window, pyatspi.ROLE_LABEL, "Firmware Version: K1.07")):
        fail("the status bar never showed the Kit's firmware version")

    # The ReadMe page, as the program starts.
    check_names(main_window, "ReadMe page")
    expect(main_window, pyatspi.ROLE_TEXT, "ReadMe")
    expect(main_window, pyatspi.ROLE_PUSH_BUTTON, "Transfer testing BIN code to  AppLoader DIR")

    # The Demo and Test page, chosen as a screen reader user would: its tab's action.
    tab = expect(main_window, pyatspi.ROLE_PAGE_TAB, "Demo and Test")
    if tab is None:
        return
    press(tab)
    usb_send = wait_for(lambda: (lambda b: b if b is not None and showing(b) else None)(
        find(main_window, pyatspi.ROLE_PUSH_BUTTON, "Send on USB")))
    if usb_send is None:
        fail("the Demo and Test page did not show")
        return
    check_names(main_window, "Demo and Test page")
    check_names(sim, "Simulated Kit")
    for role, name in [
        (pyatspi.ROLE_RADIO_BUTTON, "LED Flashing"), (pyatspi.ROLE_RADIO_BUTTON, "LED Stop"),
        (pyatspi.ROLE_TEXT, "Text to send on USB"), (pyatspi.ROLE_PUSH_BUTTON, "Clear USB"),
        (pyatspi.ROLE_TEXT, "Text to send on RS232"), (pyatspi.ROLE_PUSH_BUTTON, "Send on RS232"),
        (pyatspi.ROLE_PUSH_BUTTON, "Clear RS232"), (pyatspi.ROLE_LABEL, "Connected"),
        (pyatspi.ROLE_LABEL, "RS232: 0 bytes received, 0 sent"),
    ]:
        expect(main_window, role, name)
    for role, name in [
        (pyatspi.ROLE_CHECK_BOX, "USB plugged in"), (pyatspi.ROLE_TEXT, "Version"),
        (pyatspi.ROLE_TEXT, "Text the board sends"),
    ]:
        expect(sim, role, name)

    # A traffic view gives its text, and the counter its value, as bytes arrive.
    usb_view = expect(main_window, pyatspi.ROLE_TEXT, "Received Data From USB")
    board_send = expect(sim, pyatspi.ROLE_PUSH_BUTTON, "Send on USB")
    if usb_view is None or board_send is None:
        return
    def usb_received():
        """The count the USB counter's name says (the version reply is in it), or None."""
        for acc, _ in walk(main_window):
            match = re.fullmatch(r"USB: (\d+) bytes received, 0 sent", acc.name or "")
            if acc.getRole() == pyatspi.ROLE_LABEL and match:
                return int(match.group(1))
        return None

    before = usb_received()
    if before is None:
        fail("no USB counter named 'USB: n bytes received, 0 sent'")
        return
    press(board_send)
    if not wait_for(lambda: "Hello" in usb_view.queryText().getText(0, -1)):
        fail("the USB view's text never held what the board sent")
    if not wait_for(lambda: usb_received() == before + 5):
        fail("the USB counter's name did not follow the count: %r" % usb_received())
    state = usb_view.getState()
    if not state.contains(pyatspi.STATE_MULTI_LINE) or state.contains(pyatspi.STATE_EDITABLE):
        fail("the USB view is not a read-only multi-line text")

    # Unplugging the Kit is announced: the firmware pane's name changes, and the notice
    # opens with its text as its name.
    announced = []

    def on_event(event):
        try:
            announced.append((event.type, event.source.name or ""))
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(
        on_event, "object:property-change:accessible-name", "window:create", "window:activate")
    plug = find(sim, pyatspi.ROLE_CHECK_BOX, "USB plugged in")
    deadline = time.monotonic() + 20

    def unplug():
        press(plug)
        return False

    def done_yet():
        names = [name for _, name in announced]
        if ("Firmware Version: N/A" in names and "The KIT is unpluged or reset!" in names) or \
                time.monotonic() > deadline:
            pyatspi.Registry.stop()
            return False
        return True

    GLib.idle_add(unplug)
    GLib.timeout_add(100, done_yet)
    pyatspi.Registry.start()
    names = [name for _, name in announced]
    if "Firmware Version: N/A" not in names:
        fail("the unplug was not announced by the firmware pane: %r" % announced[:20])
    if "The KIT is unpluged or reset!" not in names:
        fail("the notice did not open under its text: %r" % announced[:20])
    press(plug)


if __name__ == "__main__":
    main()
    if failures:
        print("%d problem(s) found" % len(failures))
        sys.exit(1)
    print("accessibility: every control named, views and counters readable, changes announced")
