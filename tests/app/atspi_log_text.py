"""Reads the window's log through AT-SPI, as a screen reader does: the log is an editable text
object, and text typed into it can be read back from it. Then Shift+PgUp selects up to a page
above the caret, and another program reads that selection as the X11 primary selection. Run by
atspi_log_text.sh."""
import subprocess
import sys
import time

import pyatspi


def find_app(pid, timeout):
    end = time.time() + timeout
    while time.time() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                pass
        time.sleep(0.2)
    return None


def find_text(node, depth=0):
    if node is None or depth > 30:
        return None
    try:
        state = node.getState()
        if (node.getRole() == pyatspi.ROLE_TEXT and state.contains(pyatspi.STATE_EDITABLE) and
                state.contains(pyatspi.STATE_MULTI_LINE)):
            return node
    except Exception:
        return None
    for child in node:
        found = find_text(child, depth + 1)
        if found is not None:
            return found
    return None


def main():
    app = find_app(int(sys.argv[1]), 20)
    if app is None:
        names = [a.name for a in pyatspi.Registry.getDesktop(0) if a is not None]
        print("FAILED: the program is not on the accessibility bus; there: %r" % names)
        return 1
    log = None
    end = time.time() + 10
    while log is None and time.time() < end:
        log = find_text(app)
        if log is None:
            time.sleep(0.2)
    if log is None:
        print("FAILED: no editable text object in the window")
        return 1
    text = log.queryText()
    log.queryEditableText()  # must exist
    before = text.getText(0, -1)
    if text.characterCount == 0 or text.characterCount != len(before):
        print("FAILED: unexpected initial text: %r, count %d, name %r" % (before[:200], text.characterCount, log.name))
        for w in app:
            print("window", w.getRoleName(), repr(w.name), [c.getRoleName() + ":" + (c.name or "") for c in w])
        return 1
    # A click into the log gives it the keyboard (there is no window manager); the caret is then
    # put at the end through the text interface, as a reader's "move to end" does.
    x, y, w, h = log.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(x + w // 2, y + h // 2, "b1c")
    time.sleep(0.5)
    text.setCaretOffset(text.characterCount)
    time.sleep(0.2)
    typed = "note 42"
    for ch in typed:
        pyatspi.Registry.generateKeyboardEvent(ord(ch), None, pyatspi.KEY_SYM)
        time.sleep(0.05)
    end = time.time() + 10
    now = ""
    while time.time() < end:
        now = text.getText(0, -1)
        if now.endswith(typed):
            break
        time.sleep(0.2)
    if not now.endswith(typed):
        print("FAILED: typed text not read back; the log ends with %r" % now[-80:])
        return 1
    if text.caretOffset != text.characterCount:
        print("FAILED: caret at %d, text of %d" % (text.caretOffset, text.characterCount))
        return 1
    line = text.getTextAtOffset(text.characterCount - 1, pyatspi.TEXT_BOUNDARY_LINE_START)
    print("ok: the log is an editable text object; typed text read back: %r" % line[0])

    shift = 50  # Shift_L in the X server's default keymap
    pyatspi.Registry.generateKeyboardEvent(shift, None, pyatspi.KEY_PRESS)
    pyatspi.Registry.generateKeyboardEvent(0xff55, None, pyatspi.KEY_SYM)  # Page_Up
    pyatspi.Registry.generateKeyboardEvent(shift, None, pyatspi.KEY_RELEASE)
    end = time.time() + 10
    while text.getNSelections() == 0 and time.time() < end:
        time.sleep(0.2)
    if text.getNSelections() == 0:
        print("FAILED: Shift+PgUp selected nothing")
        return 1
    start, stop = text.getSelection(0)
    selected = text.getText(start, stop)
    primary = subprocess.run([sys.argv[2]], capture_output=True, timeout=20).stdout.decode("utf-8")
    if not selected.endswith(typed) or primary != selected:
        print("FAILED: primary selection %r, selected %r" % (primary[-80:], selected[-80:]))
        return 1
    print("ok: Shift+PgUp made the primary selection (%d characters), read by another program" % len(primary))
    return 0


sys.exit(main())
