"""The operator's hands on the port-settings window, for the end-to-end cases and the demo.

Everything goes through winprobe from outside the relay, the way a person works: the Settings
command from the tray menu, keys and characters typed into whatever control has the keyboard
focus, mouse clicks on buttons, answers to message boxes. Nothing reads or sets the program's
state any other way; every wait is for a window or a text that proves the step, with a bound.
"""

import harness as h

PASSWORD = "7316"
PASSWORD_CAPTION = "비밀번호 입력"
WRONG_PASSWORD = "비밀번호가 틀렸습니다!"
ID_TRAY_SETTINGS = 32772
IDC_COMBO_PORT = 1000
IDC_BUTTON_SET = 1001
IDC_EDIT_PASSWORD = 1006
IDC_BUTTON_PASSWORD = 1007
VK_RETURN, VK_ESCAPE = 13, 27
WM_CLOSE = 0x0010
WM_SYSCOMMAND, SC_CLOSE = 0x0112, 0xF060


class StepFailed(AssertionError):
    pass


def _ok(answer, what):
    if not answer.get("ok"):
        raise StepFailed("%s: %r" % (what, answer))
    return answer


def open_password_dialog(relay):
    """Chooses Settings in the tray menu; returns the password dialog's window."""
    _ok(relay.inspector.call("command", hwnd=relay.main, cmd=ID_TRAY_SETTINGS), "Settings command")
    found = relay.inspector.call("find", caption=PASSWORD_CAPTION, pid=relay.pid, visible=1,
                                 timeout=int(h.BOUND * 1000))
    return _ok(found, "password dialog")["hwnd"]


def type_keys(relay, hwnd, text, select_all=False):
    """Types text into the control that has the focus in hwnd's thread."""
    kw = {"select_all": 1} if select_all else {}
    return _ok(relay.inspector.call("type", hwnd=hwnd, text=text, **kw), "typing")


def press_key(relay, hwnd, vk):
    return _ok(relay.inspector.call("key", hwnd=hwnd, vk=vk), "key %d" % vk)


def click(relay, hwnd, button):
    return _ok(relay.inspector.call("click", hwnd=hwnd, button=button), "click %d" % button)


def focus_id(relay, hwnd):
    """The control id that has the keyboard focus in hwnd's thread (None: no focus)."""
    r = relay.inspector.call("focus", hwnd=hwnd)
    return r.get("id") if r.get("focus") else None


def field_text(relay, hwnd, control):
    return _ok(relay.inspector.call("text", hwnd=hwnd, id=control), "text of %d" % control)["text"]


def visible(relay, hwnd):
    r = relay.inspector.call("info", hwnd=hwnd)
    return bool(r.get("exists") and r.get("visible"))


def exists(relay, hwnd):
    return bool(relay.inspector.call("info", hwnd=hwnd).get("exists"))


def wait_visible(relay, hwnd, shown=True):
    return h.poll(lambda: visible(relay, hwnd) == shown)


def wait_gone(relay, hwnd):
    return h.poll(lambda: not exists(relay, hwnd))


def answer_box(relay, contains, caption=None, button=h.IDOK):
    """Waits for a message box of the relay whose text contains `contains`, presses a button
    and waits until it is gone. Returns what the box showed."""
    kw = {"caption": caption} if caption else {}
    def find():
        r = relay.inspector.call("box", pid=relay.pid, contains=contains, timeout=500, **kw)
        return r if r.get("ok") and r["buttons"] else None  # laid out: its buttons show
    box = h.poll(find)
    if not box:
        raise StepFailed("no box %r" % contains)
    relay.inspector.call("press", hwnd=box["hwnd"], button=button)
    if not wait_gone(relay, box["hwnd"]):
        raise StepFailed("box %r stays open" % contains)
    return box


def unlock(relay, password=PASSWORD):
    """Settings, the password typed and confirmed with Return: the settings window shows."""
    dlg = open_password_dialog(relay)
    type_keys(relay, dlg, password)
    press_key(relay, dlg, VK_RETURN)
    if not wait_gone(relay, dlg):
        raise StepFailed("the password dialog stays open")
    if not wait_visible(relay, relay.main):
        raise StepFailed("the settings window did not show")


def choose_port(relay, name):
    """Types a port name into the port field (clicked first, its text replaced)."""
    r = relay.inspector.call("type", hwnd=relay.main, id=IDC_COMBO_PORT, text=name, select_all=1)
    _ok(r, "typing the port")
    if not h.poll(lambda: field_text(relay, relay.main, IDC_COMBO_PORT) == name):
        raise StepFailed("the port field does not show %r" % name)


def statuses(entries):
    return [e.text for e in entries if e.kind == "status"]


def change_port(relay, name, wait=True):
    """The whole change as an operator makes it: unlock, type the name, press "설정". With
    wait, returns the log entries once the opening's success is logged (the log is marked
    before "설정"); a failure's line comes only after its message box has been answered."""
    unlock(relay)
    return change_port_unlocked(relay, name, wait)


def change_port_unlocked(relay, name, wait=True):
    """change_port in the settings window already shown."""
    choose_port(relay, name)
    relay.mark_log()
    click(relay, relay.main, IDC_BUTTON_SET)
    return relay.wait_status("%s Open 성공!" % name) if wait else None
