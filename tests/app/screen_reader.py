#!/usr/bin/python3
"""A screen reader's view of one upgrade in the window of process PID, through AT-SPI.

    screen_reader.py PID

Reads the window at rest, says "ready", then waits for someone to start the transfer from the
keyboard; follows it, presses LOAD through AT-SPI once during it, reads the verdict's alert,
presses its OK, and watches a moment more. What it found goes to stdout as "probe KEY VALUE"
lines (tests/support/probe_process.h), newlines written as \\n.
"""
import sys
import time

import pyatspi


def report(key, value):
    print("probe %s %s" % (key, str(value).replace("\n", "\\n")), flush=True)


def fresh(acc):
    # Values and states as they are now, not as the library last cached them.
    acc.clear_cache()
    return acc


def walk(acc):
    yield acc
    for child in fresh(acc):
        if child is not None:
            yield from walk(child)


def role(acc):
    return acc.getRole()


def has(acc, state):
    return fresh(acc).getState().contains(state)


def find_application(pid, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        for app in fresh(pyatspi.Registry.getDesktop(0)):
            if app is not None and app.get_process_id() == pid:
                return app
        time.sleep(0.2)
    return None


def find(root, wanted, name=None):
    for acc in walk(root):
        if role(acc) == wanted and (name is None or acc.name == name):
            return acc
    return None


def alerts(app):
    return [w for w in fresh(app) if w is not None and role(w) == pyatspi.ROLE_ALERT]


def value(bar):
    return fresh(bar).queryValue().currentValue


def action_names(acc):
    action = acc.queryAction()
    return [action.getName(i) for i in range(action.nActions)]


def press(acc):
    action = acc.queryAction()
    for i in range(action.nActions):
        if action.getName(i) == "Press":
            return action.doAction(i)
    return False


def main():
    pid = int(sys.argv[1])
    app = find_application(pid, 60)
    if app is None:
        report("error", "no application with process %d on the accessibility bus" % pid)
        return 1
    window = None
    load = None
    end = time.monotonic() + 30
    while load is None and time.monotonic() < end:
        window = next((w for w in fresh(app) if w is not None and w.name == "Vantra"), None)
        load = find(window, pyatspi.ROLE_PUSH_BUTTON, "LOAD") if window else None
        time.sleep(0.2)
    if load is None:
        report("error", "no LOAD button")
        return 1
    bar = find(window, pyatspi.ROLE_PROGRESS_BAR)

    labels = [acc.name for acc in walk(window) if role(acc) == pyatspi.ROLE_LABEL]
    report("labels", len(labels))
    for i, text in enumerate(labels):
        report("label%d" % i, text)
    report("load-actions", ",".join(action_names(load)))
    report("load-focused", int(has(load, pyatspi.STATE_FOCUSED)))
    report("progress-name", bar.name if bar else "<none>")
    toolbar = find(window, pyatspi.ROLE_TOOL_BAR)
    names = [b.name for b in walk(toolbar)
             if role(b) == pyatspi.ROLE_PUSH_BUTTON and has(b, pyatspi.STATE_SHOWING)]
    report("toolbar-buttons", ",".join(names))
    report("ready", 1)

    # The test presses LOAD from the keyboard now.
    end = time.monotonic() + 30
    while value(bar) == 0 and time.monotonic() < end:
        time.sleep(0.05)
    if value(bar) == 0:
        report("error", "the transfer did not start")
        return 1
    samples = []
    enabled_during = 0
    pressed = None
    end = time.monotonic() + 120
    while not alerts(app) and time.monotonic() < end:
        samples.append(value(bar))
        if has(load, pyatspi.STATE_ENABLED):
            enabled_during += 1
        if pressed is None and samples[-1] > 0:
            pressed = press(load)  # must do nothing: the transfer is under way
        time.sleep(0.1)
    rises = sum(1 for a, b in zip(samples, samples[1:]) if b > a)
    report("progress-samples", len(samples))
    report("progress-rises", rises)
    report("progress-falls", sum(1 for a, b in zip(samples, samples[1:]) if b < a))
    report("load-enabled-during", enabled_during)
    report("press-tried", int(pressed is not None))

    shown = alerts(app)
    if not shown:
        report("error", "no alert")
        return 1
    alert = shown[0]
    report("alert-name", alert.name)
    report("alert-description", alert.description)
    report("alert-labels", " | ".join(a.name for a in walk(alert) if role(a) == pyatspi.ROLE_LABEL))
    ok = find(alert, pyatspi.ROLE_PUSH_BUTTON, "OK")
    report("alert-ok-pressed", int(bool(ok and press(ok))))

    # A press refused during the transfer must not come back as a second one.
    end = time.monotonic() + 3
    late = 0
    while time.monotonic() < end:
        late = max(late, len(alerts(app)) if time.monotonic() > end - 2 else 0)
        time.sleep(0.1)
    report("alerts-after", late)
    report("load-enabled-after", int(has(load, pyatspi.STATE_ENABLED)))
    report("done", 1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
