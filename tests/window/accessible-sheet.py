#!/usr/bin/python3
"""The share's sheet as a screen reader finds it, through AT-SPI (pyatspi).

    accessible-sheet.py read PID      prints the window's texts, one line each, once it shows
    accessible-sheet.py press PID     presses the window's one button through its action

The window is the frame named "KelpWord" of the application whose process is PID. Exits 1 when
no such window shows within 20 seconds, 2 when it has no button to press.
"""
import sys
import time

import pyatspi


def frames_of(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for application in desktop:
        if application is None:
            continue
        try:
            if application.get_process_id() != pid:
                continue
        except Exception:  # an application that went away while being asked
            continue
        for child in application:
            if child is not None and child.getRole() == pyatspi.ROLE_FRAME:
                yield application, child


def descendants(node):
    for child in node:
        if child is None:
            continue
        yield child
        yield from descendants(child)


def sheet(pid, wanted):
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        for application, frame in frames_of(pid):
            if frame.name == "KelpWord" and wanted(frame):
                return application, frame
        time.sleep(0.1)
    return None, None


def content(frame):
    """The sheet's own nodes: what a window drawn with its own title bar (as on Wayland) holds
    beside it, the title and its Minimize and Close buttons, is left out."""
    for part in frame:
        if part is None:
            continue
        title_bar = any(
            node.getRole() == pyatspi.ROLE_LABEL and node.name == frame.name
            for node in descendants(part))
        if not title_bar:
            yield part
            yield from descendants(part)


def has_button(frame):
    return any(node.getRole() == pyatspi.ROLE_PUSH_BUTTON for node in content(frame))


def main():
    command, pid = sys.argv[1], int(sys.argv[2])
    application, frame = sheet(pid, has_button if command == "press" else lambda frame: True)
    if frame is None:
        print("no window named KelpWord", file=sys.stderr)
        return 1
    if command == "read":
        print("application: " + application.name)
        print("frame: " + frame.name)
        for node in content(frame):
            if node.getRole() == pyatspi.ROLE_LABEL:
                print("label: " + node.name)
            elif node.getRole() == pyatspi.ROLE_PUSH_BUTTON:
                print("button: " + node.name)

        return 0
    for node in content(frame):
        if node.getRole() != pyatspi.ROLE_PUSH_BUTTON:
            continue
        action = node.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        print("pressed: " + node.name)
        action.doAction(names.index("click"))
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
