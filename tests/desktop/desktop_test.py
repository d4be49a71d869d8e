#!/usr/bin/python3
# The windowed program as an operator meets it: the real kdx on an X server (Xvfb) with its
# accessibility bus, driven with real input (xdotool) and read through AT-SPI (pyatspi),
# against simulated controllers (kdx-sim) on pseudo-terminals.
#
#   desktop_test.py BUILD_DIR CASE     runs one case; exit 0 passed, 1 failed, 77 skipped
#
# Every wait is on a state of the window (a text shown, a control focused, a check mark),
# bounded only so that a broken program fails instead of hanging.
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

SKIP = 77
PYTHON = "/usr/bin/python3"  # the system's, which has pyatspi


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


# --- The session: an X server and a private session bus ----------------------------------

SCREENS = {"small": "800x600", "laptop": "1366x768", "desktop": "1920x1080"}
PANEL = 32  # a desktop panel along the bottom edge: the work area ends above it


def outer(build, case):
    for tool in ("Xvfb", "xdotool", "dbus-run-session", "dbus-send", "xprop"):
        if not shutil.which(tool):
            skip(tool + " is not installed (scripts/setup.sh installs it)")
    if subprocess.run([PYTHON, "-c", "import pyatspi"], capture_output=True).returncode:
        skip("python3-pyatspi is not installed (scripts/setup.sh installs it)")
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        skip("at-spi2-core is not installed (scripts/setup.sh installs it)")
    size = SCREENS[CASES[case][1]]
    read_end, write_end = os.pipe()
    # -noreset: the root window's properties (the work area) outlive the client that set them.
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-noreset", "-screen", "0",
                             size + "x24", "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    display = b""
    with os.fdopen(read_end, "rb") as r:
        while not display.endswith(b"\n"):
            chunk = r.read(1)
            if not chunk:
                break
            display += chunk
    if not display.strip():
        xvfb.kill()
        skip("Xvfb could not start a display here")
    env = dict(os.environ, DISPLAY=":" + display.decode().strip(), KDX_DESKTOP_INNER="1")
    width, height = size.split("x")
    # As a desktop announces its work area (the toolkit reads it where it is supported).
    subprocess.run(["xprop", "-root", "-f", "_NET_SUPPORTED", "32a", "-set", "_NET_SUPPORTED",
                    "_NET_WORKAREA"], env=env, check=True)
    subprocess.run(["xprop", "-root", "-f", "_NET_WORKAREA", "32c", "-set", "_NET_WORKAREA",
                    f"0, 0, {width}, {int(height) - PANEL}"], env=env, check=True)
    for k in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "QT_QPA_PLATFORM"):
        env.pop(k, None)
    try:
        code = subprocess.run(["dbus-run-session", "--", PYTHON, os.path.abspath(__file__),
                               build, case], env=env, timeout=240).returncode
    except subprocess.TimeoutExpired:
        print("FAILED: the case did not end within 240 s")
        code = 1
    finally:
        xvfb.terminate()
        xvfb.wait()
    return code


# --- Inside the session -------------------------------------------------------------------

class Failure(Exception):
    pass


def until(what, condition, timeout=20.0):
    """Polls the window until condition() gives a true value; fails naming what was awaited."""
    end = time.monotonic() + timeout
    last = None
    while True:
        try:
            value = condition()
            if value:
                return value
        except Exception as e:  # a node that went away while it was read
            last = e
        if time.monotonic() > end:
            raise Failure("waited in vain for " + what + (f" ({last})" if last else ""))
        time.sleep(0.02)  # a polling interval, not a wait for something to happen


def xdo(*args):
    subprocess.run(["xdotool", *args], check=True)


class Session:
    def __init__(self, build, args=(), sims=()):
        import pyatspi
        self.pyatspi = pyatspi
        self.build = build
        self.work = tempfile.mkdtemp(prefix="kdx-desktop-")
        self.ports = os.path.join(self.work, "ports")
        os.makedirs(self.ports)
        self.env = dict(os.environ, KDX_PORTS=self.ports, QT_ACCESSIBILITY="1",
                        QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", KDX_CONSOLE="window",
                        NO_AT_BRIDGE="0")
        self.closed = False
        self.sims = []
        for number, extra in sims:
            self.sim(number, extra)
        # The accessibility bus and its registry up first: the program registers once, when
        # it starts, and a registry that is still starting (or restarting) would miss it.
        until("the accessibility registry", self.registry_answers, 30)
        pyatspi.Registry.getDesktop(0)
        self.log = open(os.path.join(self.work, "kdx.log"), "w+")
        self.kdx = subprocess.Popen([os.path.join(build, "kdx"), *args], cwd=self.work,
                                    env=self.env, stdout=self.log, stderr=self.log)
        self.app = until("kdx on the accessibility bus", self.find_app, 30)
        self.frame = until("the frame", lambda: self.find(
            lambda n: n.getRoleName() == "frame" and n.name.startswith("KDX_APP"), self.app))

    @staticmethod
    def registry_answers():
        def call(*args):
            r = subprocess.run(["dbus-send", "--print-reply", *args], capture_output=True,
                               text=True, timeout=10)
            return r.stdout if r.returncode == 0 else ""
        reply = call("--session", "--dest=org.a11y.Bus", "/org/a11y/bus",
                     "org.a11y.Bus.GetAddress")
        address = reply.split('string "')[-1].rstrip().rstrip('"') if "string" in reply else ""
        return address and call("--bus=" + address, "--dest=org.a11y.atspi.Registry",
                                "/org/a11y/atspi/accessible/root",
                                "org.a11y.atspi.Accessible.GetChildren")

    def sim(self, number, extra=()):
        p = subprocess.Popen([os.path.join(self.build, "kdx-sim"), "--port", str(number), *extra],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True)
        line = p.stdout.readline()  # "COM<n> <device> <baud>" once registered
        if not line.startswith("COM"):
            raise Failure("kdx-sim did not start: " + line)
        self.sims.append(p)
        return p

    def close(self):
        """Ends the program as `kill` does and returns what it wrote."""
        if self.closed:
            return ""
        self.closed = True
        if self.kdx.poll() is None:
            self.kdx.send_signal(signal.SIGTERM)  # closes the frame as its close box does
            try:
                self.kdx.wait(10)
            except subprocess.TimeoutExpired:
                self.kdx.kill()
        for p in self.sims:
            p.terminate()
            p.wait()
        self.log.seek(0)
        said = self.log.read()
        shutil.rmtree(self.work, ignore_errors=True)
        return said

    # Reading the tree.
    def find_app(self):
        desktop = self.pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.name == "kdx":
                return a
        return None

    def find(self, predicate, root=None):
        return self.pyatspi.findDescendant(root or self.app, predicate, breadth_first=True)

    def find_all(self, predicate, root=None):
        return self.pyatspi.findAllDescendants(root or self.app, predicate)

    def node(self, role, name, root=None):
        return until(f"{role} \"{name}\"", lambda: self.find(
            lambda n: n.getRoleName() == role and n.name == name, root))

    def states(self, node):
        return node.getState()

    def has(self, node, state):
        return node.getState().contains(state)

    def checked(self, node):
        return self.has(node, self.pyatspi.STATE_CHECKED)

    def focused(self):
        return self.find(lambda n: n.getState().contains(self.pyatspi.STATE_FOCUSED)
                         and n.getRoleName() not in ("frame", "internal frame", "filler",
                                                     "panel", "window", "dialog"))

    def strip(self):
        if not getattr(self, "bar", None):
            self.bar = self.find(lambda n: n.getRoleName() == "status bar", self.frame)
        bar = self.bar
        return [bar.getChildAtIndex(i).name for i in range(bar.childCount)] if bar else []

    def menu(self, keys, item):
        # A menu command as the operator gives it, from the keyboard: this returns at once,
        # while the command runs.
        self.focus_window()
        self.key(keys)
        node = until(f"menu item {item} shown", lambda: self.find(
            lambda n: n.getRoleName() == "menu item" and n.name == item and
            n.getState().contains(self.pyatspi.STATE_SHOWING)))
        self.click(node)

    def strip_says(self, text, timeout=20.0):
        return until(f"the status strip to say \"{text}\"",
                     lambda: any(text in t for t in self.strip()), timeout)

    def text_of(self, node):
        t = node.queryText()
        return t.getText(0, t.characterCount)

    def extents(self, node):
        e = node.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        return (e.x, e.y, e.width, e.height)

    def action(self, node, name):
        a = node.queryAction()
        for i in range(a.nActions):
            if a.getName(i).lower() == name.lower():
                return a.doAction(i)
        raise Failure(f"{node.name} has no action {name}")

    def describe(self, node):
        # A control as the operator tells it: its name, else what it holds.
        if node.name:
            return node.name
        try:
            return self.text_of(node)
        except Exception:
            return node.getRoleName()

    def tab(self, keys, before):
        self.key(keys)
        return self.describe(until("the focus to move from " + before, lambda: (
            lambda f: f if f and self.describe(f) != before else None)(self.focused())))

    def click(self, node, button=1):
        x, y, w, h = self.extents(node)
        xdo("mousemove", "--sync", str(x + w // 2), str(y + h // 2))
        xdo("click", str(button))

    def key(self, *keys):
        xdo("key", "--clearmodifiers", *keys)

    def focus_window(self):
        wid = until("the frame's X window", lambda: subprocess.run(
            ["xdotool", "search", "--name", "KDX_APP"], capture_output=True,
            text=True).stdout.split())
        xdo("windowfocus", "--sync", wid[0])

    def rich_edit(self, name):
        # The black windows follow their labels: "Immediate Send" and "Response".
        edits = self.find_all(lambda n: n.getRoleName() == "text" and
                              self.has(n, self.pyatspi.STATE_MULTI_LINE))
        edits.sort(key=lambda n: self.extents(n)[1])  # top to bottom
        return edits[{"Immediate Send": 0, "Buffered Send": 1, "Response": 2}[name]]

    def open_port(self, name):
        combo = self.find(lambda n: n.getRoleName() == "combo box")
        self.choose(combo, name)
        self.action(self.node("radio button", "Enable Port"), "Press")
        self.strip_says(name + " open at 57600 baud")

    def choose(self, combo, name):
        # As the operator does: the list opened with a click, the entry clicked once the list
        # has settled where it shows it (the list may slide open).
        for attempt in range(2):
            self.focus_window()
            self.click(combo)
            item = until(f"list item {name} shown", lambda: self.find(
                lambda n: n.getRoleName() in ("list item", "menu item") and n.name == name and
                n.getState().contains(self.pyatspi.STATE_SHOWING), combo))
            seen = []
            until(f"list item {name} settled", lambda: seen.append(self.extents(item)) or (
                len(seen) > 1 and seen[-1] == seen[-2] and seen[-1][2] > 0))
            self.click(item)
            try:
                return until(f"{name} chosen", lambda: combo.name == name, 5 + 10 * attempt)
            except Failure:
                if attempt:
                    raise
                self.key("Escape")  # a click that missed leaves the list open


# --- The cases ----------------------------------------------------------------------------

def locate_keeps_the_answering_port(s):
    # Two silent controllers before the one that answers; the operator had it open already.
    # (The simulators take numbers above the on-board ports' COM1 to COM4.)
    for silent in (11, 12, 13, 14, 15, 16):
        s.sim(silent, ["--answer-limit", "0"])
    s.sim(17)
    s.node("list item", "COM17")
    s.open_port("COM17")
    s.action(s.node("menu item", "Locate KDX"), "Press")
    s.strip_says("Locate: KDX found on COM17 at 57600", 60)
    combo = s.find(lambda n: n.getRoleName() == "combo box")
    if combo.name != "COM17":
        raise Failure("the port box reads " + combo.name + " while COM17 is open")
    s.strip_says("COM17 open at 57600 baud")
    settings = open(os.path.join(s.build, "kdx.html"), encoding="latin-1").read()
    if "Port:=COM17<br/>" not in settings:
        raise Failure("the settings page does not name COM17")
    # A device change during the scan: it waits for the scan's end, then closes the port.
    s.action(s.node("radio button", "Change Port"), "Press")
    s.strip_says("No port open")
    s.menu("alt+h", "Locate KDX")
    s.strip_says("Locating KDX")
    s.sim(19)
    s.strip_says("Ports changed", 60)
    s.strip_says("No port open")
    if not s.checked(s.node("radio button", "Change Port")):
        raise Failure("the port is closed but \"Change Port\" is not chosen")


def options_are_radio_buttons(s):
    s.sim(15)
    s.node("list item", "COM15")
    enable, change = s.node("radio button", "Enable Port"), s.node("radio button", "Change Port")
    s.choose(s.find(lambda n: n.getRoleName() == "combo box"), "COM15")
    s.action(enable, "Toggle")
    s.strip_says("COM15 open at 57600 baud")
    until("only Enable Port chosen", lambda: s.checked(enable) and not s.checked(change))
    s.action(change, "Toggle")
    s.strip_says("No port open")
    until("only Change Port chosen", lambda: s.checked(change) and not s.checked(enable))
    motors = [s.node("radio button", str(m)) for m in range(1, 5)]
    s.focus_window()
    s.click(motors[2])
    until("motor 3 alone chosen", lambda: [s.checked(m) for m in motors] ==
          [False, False, True, False])
    s.key("Down")
    until("motor 4 alone chosen by the arrow key", lambda: [s.checked(m) for m in motors] ==
          [False, False, False, True])
    s.key("Up")
    s.key("Up")
    until("motor 2 alone chosen", lambda: [s.checked(m) for m in motors] ==
          [False, True, False, False])
    s.action(motors[0], "Toggle")
    until("motor 1 alone chosen by the accessibility action",
          lambda: [s.checked(m) for m in motors] == [True, False, False, False])


def tab_walks_the_table(s):
    s.focus_window()
    s.click(s.node("push button", "Refresh ID List"))  # no port: only the strip answers
    s.strip_says("Open a port first")
    wanted = ["1", "400", "2000", "Negative", "Positive", "AutoReverse", "Immediate"]
    seen = ["Refresh ID List"]
    for _ in range(6):
        seen.append(s.tab("Tab", seen[-1]))
    if seen[1:] != wanted[:6]:
        raise Failure("Tab went " + repr(seen))
    back = [seen[-1]]
    for _ in range(3):
        back.append(s.tab("shift+Tab", back[-1]))
    if back[1:] != ["Positive", "Negative", "2000"]:
        raise Failure("Shift+Tab went " + repr(back))
    # From the black window, Ctrl+Tab leaves; plain Tab is the controller's.
    s.click(s.rich_edit("Immediate Send"))
    until("the Immediate Send window focused",
          lambda: s.has(s.rich_edit("Immediate Send"), s.pyatspi.STATE_FOCUSED))
    s.key("ctrl+Tab")
    until("Ctrl+Tab to leave the black window",
          lambda: not s.has(s.rich_edit("Immediate Send"), s.pyatspi.STATE_FOCUSED))
    # Menus with Alt and their letters.
    s.key("alt")  # Alt alone moves to the menu bar; Down opens its first menu
    s.key("Down")
    until("the File menu open", lambda: s.find(
        lambda n: n.getRoleName() == "menu item" and n.name == "Send to Device" and
        n.getState().contains(s.pyatspi.STATE_SHOWING)))
    # "Tools" has no letter: from the open File menu the arrow key reaches it.
    s.key("Right")
    until("the Tools menu open", lambda: s.find(
        lambda n: n.getRoleName() == "menu item" and n.name == "Terminal" and
        n.getState().contains(s.pyatspi.STATE_SHOWING)))
    s.key("Escape")
    s.key("Escape")
    s.key("alt+h")
    until("the Help menu open", lambda: s.find(
        lambda n: n.getRoleName() == "menu item" and n.name == "Locate KDX" and
        n.getState().contains(s.pyatspi.STATE_SHOWING)))
    s.key("Escape")


def tab_is_the_controllers_in_a_black_window(s):
    # In the black windows Tab goes out as 0x09 (its echo shows it); the Buffered Send box is
    # left with Tab and takes a tab with Ctrl+Tab.
    s.sim(15)
    s.node("list item", "COM15")
    s.open_port("COM15")
    sent, buffered = s.rich_edit("Immediate Send"), s.rich_edit("Buffered Send")
    s.focus_window()
    s.click(sent)
    until("the Immediate Send window focused", lambda: s.has(sent, s.pyatspi.STATE_FOCUSED))
    before = s.text_of(sent).count("\t")
    s.key("Tab")
    until("Tab sent as 0x09", lambda: s.text_of(sent).count("\t") > before)
    if not s.has(sent, s.pyatspi.STATE_FOCUSED):
        raise Failure("Tab left the Immediate Send window")
    s.click(buffered)
    until("the Buffered Send box focused", lambda: s.has(buffered, s.pyatspi.STATE_FOCUSED))
    s.key("ctrl+Tab")
    until("Ctrl+Tab to type a tab", lambda: s.text_of(buffered) == "\t")
    s.key("Tab")
    until("Tab to leave the Buffered Send box",
          lambda: not s.has(buffered, s.pyatspi.STATE_FOCUSED))
    if s.text_of(buffered) != "\t":
        raise Failure("Tab went into the Buffered Send box: " + repr(s.text_of(buffered)))


def only_checked_items_show_a_mark(s):
    def marked():
        items = s.find_all(lambda n: n.getRoleName() in ("menu item", "check menu item"))
        return sorted(n.name for n in items if s.checked(n) or
                      s.has(n, s.pyatspi.STATE_CHECKABLE))
    if marked() != ["Terminal"]:
        raise Failure("items with a check box: " + repr(marked()))
    s.action(s.node("menu item", "Terminal Log"), "Press")
    s.strip_says("Port log on: " + os.path.realpath(s.build))
    until("Terminal Log checked", lambda: marked() == ["Terminal", "Terminal Log"])
    s.action(s.node("menu item", "Terminal Log"), "Press")
    s.strip_says("Port log off")
    until("Terminal Log unchecked", lambda: marked() == ["Terminal"])


def black_window_menu_selects_and_ctrl_a_is_sent(s):
    # (The toolkit keeps context menus out of the accessibility tree; the widget tests read
    # the menu's shortcuts. Here: it works from the keyboard, and Ctrl+A goes out.)
    s.sim(15)
    s.node("list item", "COM15")
    s.open_port("COM15")
    response, sent = s.rich_edit("Response"), s.rich_edit("Immediate Send")
    s.focus_window()
    s.click(sent)
    s.key("V")
    until("the reply to V", lambda: s.text_of(response).strip())
    s.click(response, 3)
    s.key("a")  # Select All by its underlined letter
    length = response.queryText().characterCount

    def selected():
        t = response.queryText()
        return t.getNSelections() == 1 and t.getSelection(0) == (0, length)
    until("all of the Response window selected", selected)
    s.click(response)
    before = s.text_of(sent).count("\x01")
    s.key("ctrl+a")
    until("Ctrl+A sent as ^A", lambda: s.text_of(sent).count("\x01") > before)


def set_id_with_an_empty_box_sends_nothing(s):
    s.sim(15)
    s.node("list item", "COM15")
    s.open_port("COM15")
    s.focus_window()
    s.click(s.find_all(lambda n: n.getRoleName() == "push button" and n.name == "Set ID")[0])
    s.strip_says("Set ID: the Axis 1 ID box is empty; nothing was sent")
    if "setMLH" in s.text_of(s.rich_edit("Immediate Send")):
        raise Failure("an empty id went out")


def debug_console_beside_the_frame(s):
    console = until("the Debug Console", lambda: s.find(
        lambda n: n.name == "Debug Console" and n.parent.getRoleName() == "application"))
    until("the Debug Console showing", lambda: s.has(console, s.pyatspi.STATE_SHOWING))
    bar = s.find(lambda n: n.getRoleName() == "menu bar", s.frame)
    cx, cy, cw, ch = until("the console placed", lambda: s.extents(console))
    bx, by, bw, bh = s.extents(bar)
    if cx < bx + bw and bx < cx + cw and cy < by + bh and by < cy + ch:
        raise Failure(f"the console {cx, cy, cw, ch} covers the menu bar {bx, by, bw, bh}")


def small_screen_reaches_every_control(s):
    fx, fy, fw, fh = s.extents(s.frame)
    if fx < 0 or fy < 0 or fx + fw > 800 or fy + fh > 600 - PANEL:
        raise Failure(f"the frame {fx, fy, fw, fh} does not fit the 800x600 screen's work area")
    bar = s.find(lambda n: n.getRoleName() == "status bar", s.frame)
    x, y, w, h = s.extents(bar)
    if y + h > 600 - PANEL:
        raise Failure("the status strip is below the work area's edge")
    # The client area scrolls: clicks into its scroll bars' troughs (at the right and bottom
    # edges, just above the strip) bring the far controls onto the screen.
    def place(name):
        return s.extents(s.node("push button", name))
    sx, sy, sw, sh = s.extents(bar)
    s.focus_window()
    fits = (lambda e: e[1] + e[3] <= sy, lambda e: e[0] + e[2] <= fx + fw)
    troughs = ((fx + fw - 8, sy - 40), (fx + fw - 40, sy - 8))  # right and bottom
    for fit, trough in zip(fits, troughs):
        for _ in range(20):
            before = place("Positive")
            if fit(before):
                break
            xdo("mousemove", "--sync", str(trough[0]), str(trough[1]))
            xdo("click", "1")
            until("the client area to scroll", lambda: place("Positive") != before, 5)
    for name in ("Positive", "Refresh ID List"):
        x, y, w, h = place(name)
        if x < 0 or y < 0 or x + w > 800 or y + h > sy:
            raise Failure(f"{name} at {x, y, w, h} cannot be brought onto the 800x600 screen")


def small_screen_follows_the_focus(s):
    # Walk every control with the keyboard at 800x600 (Ctrl+Tab out of the black windows,
    # Tab elsewhere): each one that takes the focus is on the screen, above the status strip
    # (one taller than the view shows its top).
    sx, sy, sw, sh = s.extents(s.find(lambda n: n.getRoleName() == "status bar", s.frame))
    black = [s.extents(s.rich_edit(name)) for name in ("Immediate Send", "Response")]
    s.focus_window()
    s.click(s.rich_edit("Immediate Send"))
    until("the Immediate Send window focused",
          lambda: s.has(s.rich_edit("Immediate Send"), s.pyatspi.STATE_FOCUSED))
    seen = []
    for _ in range(32):
        before = s.focused()
        place = s.extents(before)
        s.key("ctrl+Tab" if place in black else "Tab")
        node = until("the focus to move from " + s.describe(before), lambda: (
            lambda f: f if f and s.extents(f) != place else None)(s.focused()))
        # Scrolling settles after the focus moves: the place it comes to rest at counts.
        rest = []
        until("the view to settle", lambda: rest.append(s.extents(node)) or (
            len(rest) > 2 and rest[-1] == rest[-2] == rest[-3]))
        x, y, w, h = rest[-1]
        seen.append(s.describe(node))
        if x < 0 or y < 0 or x + min(w, 100) > 800 or y + min(h, 20) > sy:
            raise Failure(f"{seen[-1]} took the focus at {x, y, w, h}, off the 800x600 screen "
                          f"(strip at {sy}); walked {seen}")
        black = [s.extents(s.rich_edit(name)) for name in ("Immediate Send", "Response")]


def laptop_screen_shows_the_strip(s):
    bar = s.find(lambda n: n.getRoleName() == "status bar", s.frame)
    x, y, w, h = s.extents(bar)
    if y + h > 768 - PANEL:
        raise Failure(f"the status strip {x, y, w, h} is behind the panel or below the screen")


def verdict_of(s, sim_args, role, name, says, seconds):
    """Opens a controller simulated with sim_args, runs the control role/name and waits for
    the strip's verdict."""
    s.sim(15, sim_args)
    s.node("list item", "COM15")
    s.open_port("COM15")
    s.action(s.node(role, name), "Press")
    s.strip_says(says, seconds)


def verdict_commo_passed(s):
    verdict_of(s, [], "menu item", "KDX Test USB Commo",
               "Communication test PASSED, 1000 of 1000", 120)


def verdict_commo_failed(s):
    verdict_of(s, ["--answer-limit", "997"], "menu item", "KDX Test USB Commo",
               "Communication test FAILED: aborted at query 998: 997 of 1000 answered", 120)


def verdict_doubtful(s, sim_args):
    verdict_of(s, sim_args, "push button", "Refresh ID List", " fields doubtful: ", 60)
    said = [t for t in s.strip() if "Refresh ID List" in t][0]
    # The serial number is among the doubtful: named (the first field, so never left to
    # "and N more"), or in "all" without being one of the exceptions.
    named = said.split(" fields doubtful: ", 1)[1]
    if named.startswith("all but "):
        flagged = "Serial Num" not in named
    else:
        flagged = named == "all" or named.startswith("Serial Num")
    if not flagged:
        raise Failure("the strip does not flag the serial number: " + said)
    if len(said) > 80:
        raise Failure("the verdict is too long for a small screen's strip: " + said)


def verdict_late_replies(s):
    # Replies 150 ms late: each query reads the one before's answer.
    verdict_doubtful(s, ["--late", "150"])


def verdict_slow_replies(s):
    # Replies that trickle out: the serial and order numbers come cut short.
    verdict_doubtful(s, ["--slow", "10"])


def verdict_memory_failed(s):
    verdict_of(s, ["--corrupt", "3:6"], "menu item", "Axis 3 - Program 3",
               "Memory test axis 3 FAILED: step 6 sent", 120)


def verdict_silent_controller(s):
    verdict_of(s, ["--answer-limit", "0"], "push button", "Refresh ID List",
               "Refresh ID List: no answer from COM15", 60)


def verdict_open_failure(s):
    # A port that another program holds (a pseudo-terminal this test has locked).
    import fcntl
    master, slave = os.openpty()
    held = os.open(os.ttyname(slave), os.O_RDWR | os.O_NOCTTY)
    fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
    os.symlink(os.ttyname(slave), os.path.join(s.ports, "COM14"))
    s.node("list item", "COM14")
    combo = s.find(lambda n: n.getRoleName() == "combo box")
    s.choose(combo, "COM14")
    s.action(s.node("radio button", "Enable Port"), "Press")
    s.strip_says("Cannot open COM14: another program holds it")
    s.strip_says("No port open")
    # Typing with no port open says so instead of doing nothing.
    s.focus_window()
    s.click(s.rich_edit("Immediate Send"))
    s.key("V")
    s.strip_says("Open a port first")


# name: (function, screen, kdx arguments)
CASES = {
    "locate_keeps_the_answering_port": (locate_keeps_the_answering_port, "desktop", []),
    "options_are_radio_buttons": (options_are_radio_buttons, "desktop", []),
    "tab_walks_the_table": (tab_walks_the_table, "desktop", []),
    "tab_is_the_controllers_in_a_black_window":
        (tab_is_the_controllers_in_a_black_window, "desktop", []),
    "small_screen_follows_the_focus": (small_screen_follows_the_focus, "small", []),
    "verdict_late_replies": (verdict_late_replies, "desktop", []),
    "verdict_slow_replies": (verdict_slow_replies, "desktop", []),
    "only_checked_items_show_a_mark": (only_checked_items_show_a_mark, "desktop", []),
    "black_window_menu_selects_and_ctrl_a_is_sent":
        (black_window_menu_selects_and_ctrl_a_is_sent, "desktop", []),
    "set_id_with_an_empty_box_sends_nothing":
        (set_id_with_an_empty_box_sends_nothing, "desktop", []),
    "debug_console_beside_the_frame": (debug_console_beside_the_frame, "laptop", ["-Admin"]),
    "small_screen_reaches_every_control": (small_screen_reaches_every_control, "small", []),
    "laptop_screen_shows_the_strip": (laptop_screen_shows_the_strip, "laptop", []),
    "verdict_commo_passed": (verdict_commo_passed, "desktop", []),
    "verdict_commo_failed": (verdict_commo_failed, "desktop", []),
    "verdict_memory_failed": (verdict_memory_failed, "desktop", []),
    "verdict_silent_controller": (verdict_silent_controller, "desktop", []),
    "verdict_open_failure": (verdict_open_failure, "desktop", []),
}


def inner(build, case):
    function, _, args = CASES[case]
    session = None
    try:
        session = Session(build, args)
        function(session)
        # A sanitizer build's findings fail the case too.
        said = session.close()
        for finding in ("ERROR: AddressSanitizer", "runtime error:"):
            if finding in said:
                print("FAILED: " + case + ": the program reported\n" + said[-3000:])
                return 1
        print("PASSED: " + case)
        return 0
    except Failure as e:
        print("FAILED: " + case + ": " + str(e))
        if session:
            try:
                print("status strip: " + repr(session.strip()))
            except Exception:
                pass
            if not session.closed:
                session.log.seek(0)
                print("kdx said: " + session.log.read()[-2000:])
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    finally:
        if session:
            session.close()


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[2] not in CASES:
        print("usage: desktop_test.py BUILD_DIR CASE\ncases: " + " ".join(CASES))
        sys.exit(2)
    build_dir = os.path.abspath(sys.argv[1])
    if os.environ.get("KDX_DESKTOP_INNER"):
        sys.exit(inner(build_dir, sys.argv[2]))
    sys.exit(outer(build_dir, sys.argv[2]))
