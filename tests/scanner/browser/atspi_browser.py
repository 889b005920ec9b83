#!/usr/bin/python3
"""Reads and uses the browser window through AT-SPI, as assistive technology does.

atspi_browser.py <application name> <expected page names, comma-separated>
Exits 0 when everything matched; prints what it saw and what failed.
"""
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

DEADLINE = 30.0


def wait_for(what, fn, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while True:
        try:
            value = fn()
        except Exception:  # the tree changes under us while the window builds
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise SystemExit("timed out waiting for " + what)
        time.sleep(0.1)


def find(node, pred, depth=0):
    if node is None or depth > 30:
        return None
    if pred(node):
        return node
    for i in range(node.get_child_count()):
        hit = find(node.get_child_at_index(i), pred, depth + 1)
        if hit is not None:
            return hit
    return None


def application(name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == name:
            return app
    return None


def children(node):
    return [node.get_child_at_index(i) for i in range(node.get_child_count())]


def role(node):
    return node.get_role_name()


def selected(node):
    return node.get_state_set().contains(Atspi.StateType.SELECTED)


def extents(node):
    e = node.get_extents(Atspi.CoordType.SCREEN)
    return (e.x, e.y, e.width, e.height)


def main():
    app_name, expected = sys.argv[1], sys.argv[2].split(",")
    app = wait_for("the application", lambda: application(app_name))
    pages = wait_for("the Pages list", lambda: find(app, lambda n: role(n) == "list" and n.get_name() == "Pages"))
    items = wait_for("every page", lambda: (lambda c: c if [x.get_name() for x in c] == expected else None)(children(pages)))
    print("pages:", [(i.get_name(), extents(i), selected(i)) for i in items])
    for item in items:
        assert role(item) == "list item", role(item)
        assert extents(item)[2:] == (250, 250), extents(item)
        assert not selected(item)
    # The wrapped layout: one row, 260 apart.
    xs = [extents(i)[0] for i in items]
    assert [x - xs[0] for x in xs] == [260 * k for k in range(len(xs))], xs

    status = lambda text: find(app, lambda n: role(n) == "label" and n.get_name() == text)  # noqa: E731

    # A click at the second page's extents selects it.
    x, y, w, h = extents(items[1])
    Atspi.generate_mouse_event(x + w // 2, y + h // 2, "b1c")
    wait_for("the clicked page selected", lambda: selected(children(pages)[1]))
    wait_for("the status of one", lambda: status("1 items selected"))

    # The third page's toggle action adds it to the selection.
    third = children(pages)[2]
    actions = third.get_action_iface()
    names = [actions.get_action_name(i) for i in range(actions.get_n_actions())]
    actions.do_action(names.index("Toggle"))
    wait_for("two selected", lambda: [selected(c) for c in children(pages)] == [False, True, True])
    wait_for("the status of two", lambda: status("2 items selected"))

    # The controls under their visible texts.
    for text in ("Refresh", "Delete", "Upload", "Cancel"):
        wait_for("button " + text, lambda: find(app, lambda n: role(n) == "push button" and n.get_name() == text))
    # The layout menu: on this platform a combo box is named by its current text and
    # labelled by its label, "Layout".
    label = wait_for("the layout label", lambda: find(app, lambda n: role(n) == "label" and n.get_name() == "Layout"))
    targets = [r.get_target(i) for r in label.get_relation_set()
               if r.get_relation_type() == Atspi.RelationType.LABEL_FOR for i in range(r.get_n_targets())]
    assert [(role(t), t.get_name()) for t in targets] == [("combo box", "Wrapped")], targets
    group = wait_for("the grouping box", lambda: find(app, lambda n: role(n) == "check box" and n.get_name() == "Group by Tag"))
    group.get_action_iface().do_action(0)
    texts = wait_for("the untagged section", lambda: (lambda c: c if "(Untagged)" in [x.get_name() for x in c] else None)(children(pages)))
    names = [t.get_name() for t in texts]
    print("grouped:", names)
    assert names[0] == "(Untagged)", names
    assert names[-1] == "%d image files have no tags assigned" % len(expected), names
    assert names[1:-1] == sorted(expected, key=str.casefold), names  # untagged: by name
    print("ok")


if __name__ == "__main__":
    main()
