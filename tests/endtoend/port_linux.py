"""The Linux port: pelwin's FLTK window in a private Xvfb, read through the
snapshot it writes (PELWIN_FLTK_SNAPSHOT), against a camsim process; every
root, registry and the X display are the test's own.

In: PELWIN, CAMSIM, PELWIN_REPORT (the programs), E2E_XCLOSE (closes a
window as a window manager does); optional E2E_ARTIFACTS, E2E_WORK (a folder for the roots and
logs, kept), E2E_DISPLAY (a display to show the window on instead of a
private Xvfb), E2E_SHOTS (a folder for the pictures `Program.shot` takes).
The demo (tools/demo.sh) sets the last three."""

import os
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
import time

import harness
from harness import check, fail, log, poll

# The drivers of the model-code table, installed as camsim installs them when
# it adds a camera: their service keys, empty.
SERVICES = ("vemcamI", "vemcamF", "ralcamI", "ralcamF", "ralcamB", "ralcamBI")
_SERVICE_KEY = os.path.join("SYSTEM", "CurrentControlSet", "Services", "{}", "Parameters")

_QUOTED = r'"((?:[^"\\]|\\.)*)"'
_WINDOW = re.compile(
    r"^window (0x[0-9a-f]+) (-?\d+) (-?\d+) (\d+) (\d+) (\S+) (\S+) " + _QUOTED + "$"
)
_BUTTON = re.compile(r"^  button (-?\d+) (-?\d+) (\d+) (\d+) (enabled|disabled) " + _QUOTED + "$")
_CHOICE = re.compile(r"^  choice (-?\d+) (-?\d+) (\d+) (\d+) (\S+) (-?\d+)/(\d+) " + _QUOTED + "$")
_TEXT = re.compile(r"^    text (-?\d+) (-?\d+) (-?\d+) (\S+) " + _QUOTED + "$")
_BOX = re.compile(r"^box (0x[0-9a-f]+) (-?\d+) (-?\d+) (\d+) (\d+) (\S+) " + _QUOTED + "$")
_SHAPE = re.compile(r"^(window|box) 0x[0-9a-f]+ (-?\d+) (-?\d+) (\d+) (\d+) ")
_BOXLINE = re.compile(r"^  boxline (\d+) " + _QUOTED + "$")


def _unquote(text):
    return re.sub(r"\\(.)", r"\1", text)


class Session:
    """The test's X server (unless DISPLAY is false: a program without a
    window), roots and registries, removed at the end."""

    def __init__(self, name, display=True):
        self.name = name
        self.kept = os.environ.get("E2E_WORK")
        if self.kept:
            os.makedirs(self.kept, exist_ok=True)
        tmp = os.environ.get("TMPDIR", "/tmp")
        self.work = self.kept or tempfile.mkdtemp(prefix=f"pelwin-{name}.", dir=tmp)
        roots = {
            "PELWIN_DEVICE_ROOT": "devices",
            "PELWIN_USER_REGISTRY": "user-registry",
            "PELWIN_MACHINE_REGISTRY": "machine-registry",
            "PELWIN_OBJECT_ROOT": "objects",
            "CAMSIM_STATE": "camsim-state",
        }
        self.env = dict(os.environ)
        for variable, folder in roots.items():
            self.env[variable] = os.path.join(self.work, folder)
            if variable != "PELWIN_OBJECT_ROOT":
                os.makedirs(self.env[variable])
        self.env["PELWIN_FLTK_SNAPSHOT"] = os.path.join(self.work, "snapshot")
        # The Selvo and Ortek paths ask for administrator rights; the roots
        # are ours, so grant them rather than depend on who runs the test.
        self.env.setdefault("PELWIN_ADMIN", "1")
        self.processes = []
        self.own_x = display and not os.environ.get("E2E_DISPLAY")
        if not display:
            self.env.pop("DISPLAY", None)
        elif self.own_x:
            self._start_x()
        else:
            self.env["DISPLAY"] = os.environ["E2E_DISPLAY"]

    def path(self, name):
        return os.path.join(self.work, name)

    def _start_x(self):
        # -displayfd writes the number once clients are accepted.
        read, write = os.pipe()
        with open(self.path("xvfb.log"), "w") as out:
            xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "640x480x24"]
                + ["-nolisten", "tcp", "-noreset"],
                pass_fds=(write,),
                stdin=subprocess.DEVNULL,
                stdout=out,
                stderr=out,
            )
        os.close(write)
        self.processes.append(xvfb)
        number = b""
        deadline = time.monotonic() + 15
        with os.fdopen(read, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        number = number.strip().decode()
        if not number:
            with open(self.path("xvfb.log")) as f:
                fail(f"Xvfb did not start: {f.read()}")
        self.env["DISPLAY"] = f":{number}"

    def start(self, command, out_name, **env):
        process = harness.start(command, dict(self.env, **env), self.path(out_name))
        self.processes.append(process)
        return process

    def keep_failure(self):
        harness.keep_failure(self.work, self.name, self.env)

    def end(self):
        # pelwin first, then camsim, then the X server they use.
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if not self.kept:
            shutil.rmtree(self.work, ignore_errors=True)


class Camera(harness.Camera):
    """camsim serving the test's device root."""

    def __init__(self, session):
        super().__init__(session, os.environ["CAMSIM"])

    def _run(self, *arguments):
        return harness.run([self.program, *arguments], self.session.env)

    def serve(self, *samples):
        self._serve([self.program, "serve", "--log", self.log_path, *samples], 15)

    def serve_two(self, sample, other_first):
        """Two cameras of SAMPLE: "first", plugged in, and "other", the first
        one's image with another camera ID, unplugged, on the interface that
        is enumerated first when OTHER_FIRST, else after."""
        self.serve("--unplugged", f"{sample}=first")
        self.stop()
        state = self.session.env["CAMSIM_STATE"]
        first, other = (os.path.join(state, f"{name}.eeprom") for name in ("first", "other"))
        image = harness.read_image(first)
        image[10] ^= 0x01
        with open(other, "wb") as f:
            f.write(image)
        self.camera = "first"
        found = ("other", "first") if other_first else ("first", "other")
        self.serve("--unplugged", *(f"{sample}={camera}" for camera in found))
        self.plug("first")

    def save_image(self, path, camera=None):
        """A camera's image, through the control socket (camsim has no client
        command for it on Linux)."""
        sock_path = os.path.join(self.session.env["PELWIN_DEVICE_ROOT"], ".camsim", "control.sock")
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as control:
            control.connect(sock_path)
            control.sendall(f"image {camera or self.camera or '*'} save {path}\n".encode())
            answer = b""
            while not re.search(rb"(^|\n)(ok|error: [^\n]*)\n$", answer):
                chunk = control.recv(4096)
                if not chunk:
                    break
                answer += chunk
        answer = answer.decode()
        check(answer.splitlines()[-1:] == ["ok"], f"camsim image save: {answer.strip()}")


class Program(harness.Program):
    """pelwin's FLTK window, read through its snapshot, driven with xdotool."""

    reads_pane = True

    def __init__(self, session):
        self.session = session
        # A second program of the session (two windows) has a snapshot of its own.
        number = session.programs = getattr(session, "programs", 0) + 1
        self.suffix = "" if number == 1 else f".{number}"
        self.snapshot = session.env["PELWIN_FLTK_SNAPSHOT"] + self.suffix
        self.process = None
        self.window = None

    # What the window shows.
    def _read(self):
        try:
            with open(self.snapshot, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return None

    def view(self):
        lines = self._read()
        if lines is None:
            return None
        title = None
        buttons = {}
        lists = []
        pane = []
        in_window = False
        for line in lines:
            m = _WINDOW.match(line)
            if m:
                in_window = True
                title = _unquote(m.group(8))
                continue
            if line.startswith("box "):
                in_window = False
            if not in_window:
                continue
            m = _BUTTON.match(line)
            if m:
                buttons[_unquote(m.group(6))] = m.group(5)
                continue
            m = _CHOICE.match(line)
            if m:
                shown = (int(m.group(6)), int(m.group(7)), _unquote(m.group(8)))
                lists.append((int(m.group(2)), shown))
                continue
            m = _TEXT.match(line)
            if m:
                pane.append((int(m.group(1)), int(m.group(2)), m.group(4), _unquote(m.group(5))))
        lists = [entry for _, entry in sorted(lists)]
        return harness.View(title, buttons, lists, pane, lines)

    def _never(self, what, seconds, probe):
        answer = poll(seconds, probe)
        if not answer:
            log(f"the window:\n{self.view()}")
            fail(f"pelwin {what}")
        return answer

    def wait(self, condition, seconds=10):
        def shown():
            view = self.view()
            return view is not None and condition(view)

        self._never(f"never showed {condition.what}", seconds, shown)

    def line(self, pattern):
        """The match of the snapshot's first line that PATTERN (a regular
        expression) matches, or None."""
        return next(filter(None, (re.search(pattern, x) for x in self._read() or [])), None)

    def wait_line(self, pattern, seconds=10):
        return self._never(f"never showed a line {pattern}", seconds, lambda: self.line(pattern))

    def wait_gone(self, pattern, what=None, seconds=10):
        def gone():
            # Only a snapshot that is there and was searched lacks the line.
            lines = self._read()
            return lines is not None and not any(re.search(pattern, x) for x in lines)

        self._never(what or f"still shows a line {pattern}", seconds, gone)

    def start(self):
        if os.path.exists(self.snapshot):
            os.remove(self.snapshot)
        out, snapshot = f"pelwin{self.suffix}.out", {"PELWIN_FLTK_SNAPSHOT": self.snapshot}
        self.process = self.session.start([os.environ["PELWIN"]], out, **snapshot)
        self.window = self.wait_line(r"^window (0x[0-9a-f]+) .* normal open ").group(1)

    def title(self):
        """The title as the X server holds it, not as pelwin reports it."""
        named = harness.run(["xdotool", "getwindowname", self.window], self.session.env)
        return named[1].rstrip("\n")

    def wait_title(self, title, seconds=10):
        if not poll(seconds, lambda: self.title() == title):
            fail(f'the window title is "{self.title()}", expected "{title}"')

    def _xdotool(self, *arguments):
        status, out, err = harness.run(["xdotool", *arguments], self.session.env)
        check(status == 0, f"xdotool {' '.join(arguments)}: {err.strip()}")
        return out

    def click_at(self, x, y, button=1):
        self._xdotool("mousemove", "--window", self.window, str(x), str(y), "click", str(button))

    def press(self, *keys, at=None):
        """Keys, to the window under the pointer: at AT of the main window,
        or wherever the pointer is."""
        place = ["mousemove", "--window", self.window, *map(str, at)] if at else []
        self._xdotool(*place, "key", *keys)

    def _button_center(self, label):
        for line in self._read() or []:
            if line.startswith("box "):
                return None
            m = _BUTTON.match(line)
            if m and m.group(5) == "enabled" and _unquote(m.group(6)) == label:
                x, y, w, h = (int(m.group(i)) for i in range(1, 5))
                return x + w // 2, y + h // 2
        return None

    def click(self, label):
        """Presses the main window's enabled button with the mouse."""
        where = poll(10, lambda: self._button_center(label))
        check(where, f'no enabled button "{label}"')
        self.click_at(*where)

    def pick(self, number, item, text):
        """Item ITEM (from 1) of drop-down list NUMBER (1 the upper) with the
        mouse and the arrow keys; the list then shows TEXT."""
        choices = [m for m in map(_CHOICE.match, self._read() or []) if m]
        choices.sort(key=lambda m: int(m.group(2)))
        check(len(choices) >= number, f"no drop-down list {number}")
        m = choices[number - 1]
        x, y, w, h = (int(m.group(i)) for i in range(1, 5))
        steps = item - int(m.group(6))
        self.click_at(x + w // 2, y + h // 2)
        keys = ["Down" if steps > 0 else "Up"] * abs(steps)
        self._xdotool("key", *keys, "Return")
        self.wait(harness.list_shows(number, item, text))

    def box(self, title, seconds=10):
        """The open message box with that title: (its lines, its icon's kind)."""

        def found():
            lines = []
            icon = None
            for line in self._read() or []:
                m = _BOX.match(line)
                if m:
                    if icon is not None:
                        break
                    if _unquote(m.group(7)) == title:
                        icon = m.group(6)
                    continue
                m = _BOXLINE.match(line)
                if m and icon is not None:
                    lines.append(_unquote(m.group(2)))
            return (lines, icon) if icon is not None else None

        answer = poll(seconds, found)
        check(answer, f'no box "{title}"')
        lines, icon = answer
        while lines and lines[-1] == "":
            lines.pop()
        return lines, icon

    def box_key(self, title, key):
        """A key to the box; it closes (no box is left)."""
        self._xdotool("key", key)
        self.wait_gone("^box ", f'left the box "{title}" open after {key}')

    def close(self):
        """Asks the window to close as a window manager's close button does."""
        status, _, err = harness.run([os.environ["E2E_XCLOSE"], self.window], self.session.env)
        check(status == 0, f"the window did not take the close: {err.strip()}")

    # The window as the X server has it.
    def placed(self):
        """The window's position as X places it."""
        out = self._xdotool("getwindowgeometry", self.window)
        m = re.search(r"Position: (-?\d+),(-?\d+) ", out)
        check(m, f"no position in the window's geometry: {out}")
        return int(m.group(1)), int(m.group(2))

    def move(self, x, y):
        self._xdotool("windowmove", self.window, str(x), str(y))

    def pixels(self, x, y, width, height, screen=False):
        """The colours (RRGGBB) of the window's rectangle, or the screen's,
        by place: {(x, y): colour}."""
        crop = ["-crop", f"{width}x{height}+{x}+{y}", "+repage", "txt:-"]
        window = "root" if screen else self.window
        status, out, err = harness.run(["import", "-window", window, *crop], self.session.env)
        check(status == 0, f"no picture of the window: {err.strip()}")
        found = re.findall(r"^(\d+),(\d+):.*#([0-9A-Fa-f]{6})", out, re.M)
        return {(x + int(dx), y + int(dy)): colour.upper() for dx, dy, colour in found}

    def shot(self, name, only=None, size=None):
        """With E2E_SHOTS, a picture for people: the main window and any box
        over it with a margin (ONLY "window" or "box": that alone, a box
        without a margin), from the corner on SIZE (width, height) if given."""
        folder = os.environ.get("E2E_SHOTS")
        if not folder:
            return
        margin = 0 if only == "box" else 12
        edges = []
        for m in map(_SHAPE.match, self._read() or []):
            if m and only in (None, m[1]):
                x, y, w, h = map(int, m.groups()[1:])
                edges.append((x - margin, y - margin, x + w + margin, y + h + margin))
        check(edges, f"nothing to take a picture of for {name}")
        left, top = min(e[0] for e in edges), min(e[1] for e in edges)
        w, h = size or (max(e[2] for e in edges) - left, max(e[3] for e in edges) - top)
        os.makedirs(folder, exist_ok=True)
        picture = os.path.join(folder, f"{name}.png")
        crop = ["-crop", f"{w}x{h}+{left}+{top}", "+repage", picture]
        status, _, err = harness.run(["import", "-window", "root", *crop], self.session.env)
        check(status == 0, f"no picture {picture}: {err.strip()}")
        log(f"screenshot: {picture}")

    # The registries, files under the test's roots.
    def _key_path(self, key, root="PELWIN_MACHINE_REGISTRY"):
        return os.path.join(self.session.env[root], *key.split("\\"))

    def _value(self, root, key, name):
        path = os.path.join(self._key_path(key, root), name)
        try:
            with open(path) as f:
                text = f.read().strip()
        except FileNotFoundError:
            return None
        m = re.fullmatch(r"dword:([0-9a-f]{8})", text)
        check(m, f"{path} holds no dword: {text}")
        return int(m.group(1), 16)

    def permission(self, service):
        """The driver's AllowEEPROMWrite, or None when there is none."""
        key = f"SYSTEM\\CurrentControlSet\\Services\\{service}\\Parameters"
        return self._value("PELWIN_MACHINE_REGISTRY", key, "AllowEEPROMWrite")

    def permissions(self):
        """The services that hold a permission, anywhere in the registry."""
        found = []
        for folder, _, files in os.walk(self.session.env["PELWIN_MACHINE_REGISTRY"]):
            if "AllowEEPROMWrite" in files:
                found.append(os.path.basename(os.path.dirname(folder)))
        return sorted(found)

    def clear_permission(self, service):
        """Nothing to clear: the registry is the test's own, new."""

    def take_hold_name(self, code):
        """A file under the name of the permission hold of CODE that anyone
        may open, and so hold (as an earlier pelwin made them), in an object
        root that is pelwin's own (0700, this user's)."""
        root = self.session.env["PELWIN_OBJECT_ROOT"]
        os.makedirs(root, mode=0o700, exist_ok=True)
        hold = os.path.join(root, f"pelwin.permission.{code}")
        os.close(os.open(hold, os.O_CREAT | os.O_WRONLY, 0o644))
        os.chmod(hold, 0o644)

    def marks(self):
        """pelwin's marks of its grants."""
        marks = self._key_path("Software\\Varnosti\\pelwin\\Grants")
        return sorted(os.listdir(marks)) if os.path.isdir(marks) else []

    _POSITION = "Software\\Varnosti\\pelwin\\Window"

    def window_position(self):
        """The stored position, signed (a monitor left of or above the main one)."""
        stored = (self._value("PELWIN_USER_REGISTRY", self._POSITION, n) for n in ("XPos", "YPos"))
        return tuple(v if v is None or v < 1 << 31 else v - (1 << 32) for v in stored)

    def store_window_position(self, x, y):
        """As a run on another monitor layout would have left it."""
        key = self._key_path(self._POSITION, "PELWIN_USER_REGISTRY")
        os.makedirs(key, exist_ok=True)
        for name, value in (("XPos", x), ("YPos", y)):
            with open(os.path.join(key, name), "w") as f:
                f.write(f"dword:{value & 0xFFFFFFFF:08x}\n")

    # What only this port can see.
    def key_stamp(self, key):
        """The registry key's last change, a folder's time stamp here."""
        return os.stat(self._key_path(key)).st_mtime_ns

    def watches(self, class_guid):
        """How many inotify watches pelwin holds on its class's folder."""
        folder = os.path.join(self.session.env["PELWIN_DEVICE_ROOT"], class_guid)
        inode = f"ino:{os.stat(folder).st_ino:x}"
        fdinfo = f"/proc/{self.process.pid}/fdinfo"
        count = 0
        for name in os.listdir(fdinfo):
            try:
                with open(os.path.join(fdinfo, name)) as f:
                    for line in f:
                        words = line.split()
                        if words[:1] == ["inotify"] and len(words) > 2 and words[2] == inode:
                            count += 1
            except FileNotFoundError:
                continue
        return count


class Report:
    """pelwin-report on the test's roots, the drivers of every kind installed."""

    NAME = "pelwin-report"
    LINE_END = "\n"

    def __init__(self, session):
        self.session = session
        self.program = os.environ["PELWIN_REPORT"]
        self.keys = session.env["PELWIN_MACHINE_REGISTRY"]
        for service in SERVICES:
            os.makedirs(os.path.join(self.keys, _SERVICE_KEY.format(service)))

    def run(self, *arguments):
        return harness.run([self.program, *arguments], self.session.env)

    def to_file(self):
        """--output FILE: (status, what it printed, the file's bytes)."""
        path = self.session.path("output.txt")
        status, out, err = self.run("--output", path)
        with open(path, "rb") as f:
            return status, out + err, f.read()

    def own_console(self):
        """Printed on a terminal of its own (script's); what it printed."""
        command = ["script", "-qec", shlex.quote(self.program), "/dev/null"]
        status, out, err = harness.run(command, self.session.env)
        check(status == 0, f"{self.NAME} ended with status {status} in a terminal: {out}{err}")
        return out

    def set_permission(self, service, value):
        key = os.path.join(self.keys, _SERVICE_KEY.format(service))
        with open(os.path.join(key, "AllowEEPROMWrite"), "w") as f:
            f.write(f"dword:{value:08x}\n")

    def delete_key(self, service):
        shutil.rmtree(os.path.join(self.keys, _SERVICE_KEY.format(service)))

    def state(self):
        """Every key, value, named object and camera file under the roots,
        with its bytes."""
        found = []
        for root in ("machine-registry", "user-registry", "objects", "camsim-state"):
            for folder, folders, files in os.walk(self.session.path(root)):
                found.append(folder)
                for name in files:
                    with open(os.path.join(folder, name), "rb") as f:
                        found.append((os.path.join(folder, name), f.read()))
        return sorted(found, key=str)

    def end(self):
        """Nothing to end: every run of the program ran to its end."""
