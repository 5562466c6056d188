#!/usr/bin/python3
# A screen reader's side of the application: reads the application's window tree over AT-SPI
# and acts on it as a user of one would. It takes one command a line on stdin and answers each
# with one line, "ok" or "failed <why>":
#
#   walk            reads every object's name, role, states, relations, parent and children, of
#                   the tree and of every object it met before (menus are not in the tree: it
#                   meets them by their events), as a screen reader keeps and asks again what it
#                   met
#   click <name>    a mouse click at the centre of the first showing object whose name starts
#                   with <name> (waits for it to show)
#   wait <name>     waits until such an object shows
#   gone <name>     waits until none shows
#
# Exits 2 when the application is not on the accessibility bus.
import sys
import time

import pyatspi
from gi.repository import GLib

BOUND = 120  # seconds; a loaded machine answers slowly
APP = "corvane"


def application():
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            try:
                app = desktop.getChildAtIndex(index)
                if app is not None and APP in (app.name or "").lower():
                    return app
            except Exception:
                continue
        time.sleep(0.2)
    return None


def children(node):
    try:
        count = node.childCount
    except Exception:
        return []
    found = []
    for index in range(count):
        try:
            child = node.getChildAtIndex(index)
        except Exception:
            continue
        if child is not None:
            found.append(child)
    return found


def read(node):
    # What a screen reader asks of each object; an object gone meanwhile is simply skipped.
    try:
        node.name, node.description, node.getRole(), node.getIndexInParent()
        node.getState().getStates()
        for relation in node.getRelationSet():
            for index in range(relation.getNTargets()):
                target = relation.getTarget(index)
                if target is not None:
                    target.name
        parent = node.parent
        if parent is not None:
            parent.name
        return True
    except Exception:
        return False


# Every object met: by walking, and as the source of an event.
met = {}


def key_of(node):
    try:
        return (node.get_bus_name(), node.path)
    except Exception:
        return id(node)


def remember(node):
    if node is not None:
        met.setdefault(key_of(node), node)


def on_event(event):
    # A screen reader asks about an event's object at once: what it is, its parent, its
    # children.
    source = event.source
    remember(source)
    # A child added or removed comes with the event.
    if event.type.startswith("object:children-changed") and isinstance(event.any_data,
                                                                       pyatspi.Accessible):
        remember(event.any_data)
        read(event.any_data)
    if source is not None and read(source):
        for child in children(source):
            read(child)
            remember(child)


def pump(seconds):
    # Lets the events in while waiting.
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if not context.iteration(False):
            time.sleep(0.02)


def walk(roots, seen, visit):
    # Menus list their items again under each item's own parent; each object is read once.
    stack = list(roots)
    while stack:
        current = stack.pop()
        key = key_of(current)
        if key in seen:
            continue
        seen.add(key)
        if not read(current):
            continue
        remember(current)
        if visit(current):
            return current
        stack.extend(children(current))
    return None


def showing(node):
    try:
        return node.getState().contains(pyatspi.STATE_SHOWING)
    except Exception:
        return False


def find(app, name):
    return walk([app] + list(met.values()), set(),
                lambda node: (node.name or "").startswith(name) and showing(node))


def until(app, name, present):
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        found = find(app, name)
        if (found is not None) == present:
            return found if present else True
        pump(0.2)
    return None


def run(app, line):
    command, _, name = line.strip().partition(" ")
    if command == "walk":
        count = [0]

        def visit(_):
            count[0] += 1
            return False

        walk([app] + list(met.values()), set(), visit)
        return "ok read %d" % count[0]
    if command == "gone":
        return "ok" if until(app, name, False) else "failed %r still shows" % name
    found = until(app, name, True)
    if found is None:
        return "failed no showing object called %r" % name
    if command == "click":
        box = found.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(box.x + box.width // 2, box.y + box.height // 2,
                                            pyatspi.MOUSE_B1C)
    pump(0.5)
    return "ok"


def main():
    app = application()
    if app is None:
        print("failed: the application is not on the accessibility bus", flush=True)
        return 2
    pyatspi.Registry.registerEventListener(on_event, "object:state-changed:showing",
                                           "object:state-changed:focused",
                                           "object:children-changed", "window")
    for line in sys.stdin:
        if line.strip():
            print(run(app, line), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
