#!/usr/bin/python3
# What a screen reader finds of the wizard's main window over AT-SPI (the accessibility bus of
# the desktop), the program running as shipped on an X server: each control's role and name (a
# box by the label it is labelled by), the connection command a button that can be pressed, and
# a change of status announced as the status label's new name. Run by atspi_window.sh, which
# starts the X server, the session bus, the accessibility bus and the program.
import sys
import time
import warnings

import gi

gi.require_version('Atspi', '2.0')
from gi.repository import Atspi, GLib  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAIL: ' + what, flush=True)


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def find_window(deadline):
    desktop = Atspi.get_desktop(0)
    while time.monotonic() < deadline:
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == 'Lindqvar':
                for j in range(app.get_child_count()):
                    frame = app.get_child_at_index(j)
                    if frame is not None and frame.get_name().startswith('Мастер подключения'):
                        return frame
        time.sleep(0.2)
    return None


def labelled_by(node):
    for relation in node.get_relation_set():
        if relation.get_relation_type() == Atspi.RelationType.LABELLED_BY:
            return [relation.get_target(i).get_name() for i in range(relation.get_n_targets())]
    return []


def pump(seconds, until):
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not until():
        context.iteration(False)
        time.sleep(0.01)


def main():
    window = find_window(time.monotonic() + 30)
    if window is None:
        print('FAIL: the main window never appeared on the accessibility bus')
        return 1
    nodes = list(walk(window))

    def one(role, predicate, what):
        found = [n for n in nodes if n.get_role() == role and predicate(n)]
        check(len(found) == 1, what)
        return found[0] if found else None

    # The boxes, each labelled by the label beside it, focusable.
    for label in ('Тип подключения:', 'COM-порт:', 'Номер телефона:'):
        box = one(Atspi.Role.COMBO_BOX, lambda n, label=label: label in labelled_by(n),
                  'a combo box labelled by "%s"' % label)
        if box is not None:
            check(box.get_state_set().contains(Atspi.StateType.FOCUSABLE),
                  '"%s" box focusable' % label)
    one(Atspi.Role.PUSH_BUTTON, lambda n: n.get_name() == 'Обновить список COM-портов',
        'the refresh button by name')
    command = one(Atspi.Role.PUSH_BUTTON, lambda n: n.get_name() == 'Подключить',
                  'the connection command as a button named by its caption')
    status = one(Atspi.Role.LABEL, lambda n: n.get_name() == 'Нет подключения',
                 'the status label')
    if command is None or status is None:
        return 1
    check(command.get_state_set().contains(Atspi.StateType.FOCUSABLE), 'the command focusable')

    # Pressing the command: the port (a device file that is no serial port) cannot be opened,
    # and the new status is announced.
    heard = []

    def on_name(event):
        heard.append(event.source.get_name())

    listener = Atspi.EventListener.new(on_name)
    listener.register('object:property-change:accessible-name')
    # (get_action_name is the call that Debian 12's and 13's libatspi both have.)
    with warnings.catch_warnings():
        warnings.simplefilter('ignore', DeprecationWarning)
        names = [command.get_action_name(i) for i in range(command.get_n_actions())]
    check('Press' in names, 'the command has a press action (%s)' % names)
    if 'Press' in names:
        command.do_action(names.index('Press'))
        pump(20, lambda: 'COM-порт занят' in heard)
        check('COM-порт занят' in heard, 'the status "COM-порт занят" announced (heard %s)' % heard)
    listener.deregister('object:property-change:accessible-name')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
