#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""What a screen reader gets from the server window's log, asked over AT-SPI as Orca asks it.

usage: xvfb-run log_box_atspi.py path/to/prynechat

Starts its own session bus and accessibility bus on the X display it is given, opens a server window (/s, port 555),
sends it two texts over TCP and reads the log back through the accessibility tree: its role and
name, its whole text, one insertion event a line, the caret, and a word at an offset. Exits non-zero with the reason on the
first check that fails.
"""
import os, socket, struct, subprocess, sys, time

program = sys.argv[1]
children = []


def spawn(arguments, **options):
    child = subprocess.Popen(arguments, **options)
    children.append(child)
    return child


def until(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    sys.exit(f"not within {seconds} s: {what() if callable(what) else what}")


def check(condition, what):
    if not condition:
        sys.exit(f"failed: {what}")


try:
    bus = spawn(["dbus-daemon", "--session", "--nofork", "--print-address"],
                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
    spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"], stderr=subprocess.DEVNULL)
    os.environ.update(QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    window = spawn([program, "/s"])

    import pyatspi  # after the bus address is known: it connects at once

    def application():
        for each in pyatspi.Registry.getDesktop(0):
            if each is not None and each.name == "Pryne Chat":
                return each

    def find(node, role, name):
        if node.getRole() == role and node.name == name:
            return node
        for child in node:
            found = child is not None and find(child, role, name)
            if found:
                return found

    app = until(application, "the window on the accessibility bus")
    log = until(lambda: find(app, pyatspi.ROLE_TEXT, "チャットのログ"),
                "a text named チャットのログ in the window")
    until(lambda: window.poll() is None and socket.create_connection(("127.0.0.1", 555), 1),
          "the server window listening on port 555").close()

    # What a reader hears as lines arrive: one insertion a line, as from a standard text box.
    from gi.repository import GLib
    inserted = []
    pyatspi.Registry.registerEventListener(
        lambda event: inserted.append(event.any_data), "object:text-changed:insert")
    texts = ["こんにちは、テストです。\r\n", "second line 12345 word\r\n"]
    client = socket.create_connection(("127.0.0.1", 555))
    # Both in one write: the log takes them in one refresh.
    client.sendall(b"".join(struct.pack(">I", len(text.encode())) + text.encode() for text in texts))
    content = log.queryText()
    seen = [""]

    def logged():
        while GLib.MainContext.default().iteration(False):
            pass
        seen[0] = content.getText(0, -1)
        return "12345" in seen[0] and len(inserted) >= 2 and seen[0]

    whole = until(logged, lambda: f"both texts in the log's accessible text, which holds "
                  f"{seen[0]!r}, and an insertion for each: {inserted!r}")
    first, second = whole.find("こんにちは"), whole.find("second line")
    check(0 <= first < second, f"the texts in their order in {whole!r}")
    check(inserted == ["こんにちは、テストです。\n", "second line 12345 word\n"],
          f"one insertion a line: {inserted!r}")
    check(content.characterCount == len(whole), "characterCount matches the text")
    check(0 <= content.caretOffset <= content.characterCount,
          f"caret {content.caretOffset} within 0..{content.characterCount}")
    number = whole.find("12345") + 2
    word, start, end = content.getTextAtOffset(number, pyatspi.TEXT_BOUNDARY_WORD_START)
    check(word.strip() == "12345" and whole[start:end] == word,
          f"the word at an offset inside 12345: got {word!r} at {start}..{end}")
    check(log.getState().contains(pyatspi.STATE_READ_ONLY) or
          not log.getState().contains(pyatspi.STATE_EDITABLE), "the log is not editable")
    client.close()
    print("log box over AT-SPI: role text, its text in order, caret and words readable")
finally:
    for child in reversed(children):
        child.terminate()
    for child in children:
        try:
            child.wait(5)
        except subprocess.TimeoutExpired:
            child.kill()
