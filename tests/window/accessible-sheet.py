#!/usr/bin/python3
"""The share's sheet as a screen reader finds it, through AT-SPI (pyatspi).

    accessible-sheet.py read PID      prints the window's texts, one line each, once it shows
    accessible-sheet.py press PID     presses the window's one button through its action
    accessible-sheet.py progress PID  prints the window's progress bar once it has one that has
                                      moved: "progress bar: VALUE of MAXIMUM"

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


def progress_bars(frame):
    """The frame's progress bars that have moved from their start."""
    return [node for node in content(frame)
            if node.getRole() == pyatspi.ROLE_PROGRESS_BAR
            and node.queryValue().currentValue > node.queryValue().minimumValue]


def main():
    command, pid = sys.argv[1], int(sys.argv[2])
    wanted = {"press": has_button, "progress": progress_bars}.get(command, lambda frame: True)
    application, frame = sheet(pid, wanted)
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
    if command == "progress":
        value = progress_bars(frame)[0].queryValue()
        print("progress bar: %g of %g" % (value.currentValue, value.maximumValue))
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
