"""The Windows port: pelwin.exe under Wine, read through Windows itself
(pelwin_probe), against camsim.exe behind the driver stand-in, in the session
of wine_session.sh (one X server and wineserver per run).

In: WE_BUILD (the tree whose session this is), WE_PELWIN, WE_REPORT, WE_PROBE,
optional WE_CAMSIM (camsim.exe; by default the tree's own, or for a 32-bit
tree the x86-64 tree's),
WE_PELWIN_PROCESS (wow64 or native: how the program must run), E2E_ARTIFACTS."""

import os
import re
import shlex
import shutil
import subprocess
import tempfile

import harness
from harness import check, fail, log, poll

_CHILD = re.compile(
    r"^child (\S+) (-?\d+) (-?\d+) (\d+) (\d+) (visible|hidden) (enabled|disabled) "
    r'"(.*)"(?: item (-?\d+)/(\d+))?$'
)
# The services of the stand-in's sample kinds (tests/windows/standin-prefix.sh).
SERVICES = ("vemcamI", "vemcamF", "ralcamI", "ralcamF", "ralcamB", "ralcamBI")


def _service_key(service):
    return f"HKLM\\SYSTEM\\CurrentControlSet\\Services\\{service}\\Parameters"


def standin_camsim(build):
    """The tree's camsim.exe; a 32-bit tree serves with the x86-64 tree's
    (PELWIN_STANDIN_BUILD in its cache)."""
    standin = build
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("PELWIN_STANDIN_BUILD:PATH="):
                    standin = line.split("=", 1)[1].strip() or build
    except FileNotFoundError:
        pass
    return os.path.join(standin, "sim", "windows", "camsim.exe")


class Session:
    """The run's Wine session, attached to; a work folder of the test's own."""

    def __init__(self, name, display=True):
        self.name = name
        build = os.environ["WE_BUILD"]
        env_file = os.path.join(build, "tests", "endtoend", "session", "env")
        if not os.path.isfile(env_file):
            fail(f"no Wine session: run tests/endtoend/wine_session.sh start {build}")
        self.env = dict(os.environ)
        with open(env_file) as f:
            for line in f:
                for word in shlex.split(line)[1:]:
                    variable, _, value = word.partition("=")
                    self.env[variable] = value
        self.work = tempfile.mkdtemp(prefix=f"pelwin-{name}.", dir=os.environ.get("TMPDIR", "/tmp"))
        self.processes = []

    def path(self, name):
        return os.path.join(self.work, name)

    def wine(self, *arguments):
        """A Windows program to its end: (status, output, error output)."""
        return harness.run(["wine", *arguments], self.env)

    def winpath(self, path):
        return harness.run(["winepath", "-w", path], self.env)[1].strip()

    def start(self, arguments, out_name):
        process = harness.start(["wine", *arguments], self.env, self.path(out_name))
        self.processes.append(process)
        return process

    def xdotool(self, *arguments):
        status, out, err = harness.run(["xdotool", *arguments], self.env)
        check(status == 0, f"xdotool {' '.join(arguments)}: {err.strip()}")
        return out

    def focus(self, title):
        """Without a window manager nothing gives a window the focus but us."""
        found = harness.x_windows(self.env, title)
        check(found, f'no X window titled "{title}"')
        self.xdotool("windowfocus", "--sync", found[0])

    def keep_failure(self):
        harness.keep_failure(self.work, self.name, self.env)

    def end(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(self.work, ignore_errors=True)


class Camera(harness.Camera):
    """camsim.exe serving the stand-in's camera."""

    name = "camsim.exe"

    def __init__(self, session):
        build = os.environ["WE_BUILD"]
        super().__init__(session, os.environ.get("WE_CAMSIM") or standin_camsim(build))

    def _run(self, *arguments):
        return self.session.wine(self.program, *arguments)

    def serve(self, *samples):
        state = self.session.path("state")
        os.makedirs(state, exist_ok=True)
        state, log_path = (self.session.winpath(path) for path in (state, self.log_path))
        self._serve([self.program, "serve", "--state", state, "--log", log_path, *samples], 20)

    def serve_two(self, sample, other_first):
        """Two cameras of SAMPLE on the stand-in's two devices: "first",
        plugged in, and "other", the first one's image with another camera
        ID, unplugged, on the device found first when OTHER_FIRST, else on
        the one found after."""
        self.camera = "first"
        found = ("other", "first") if other_first else ("first", "other")
        self.serve("--unplugged", *(f"{sample}={camera}" for camera in found))
        self.plug("first")
        other = self.session.path("other.bin")
        image = harness.read_image(self.session.path("before.bin"))
        image[10] ^= 0x01
        with open(other, "wb") as f:
            f.write(image)
        self.run("image", "other", "--load", self.session.winpath(other))

    def save_image(self, path, camera=None):
        camera = camera or self.camera
        self.run("image", *([camera] if camera else []), "--save", self.session.winpath(path))


class Program(harness.Program):
    """pelwin.exe's main window as Windows tells it (pelwin_probe), driven
    with xdotool."""

    NAME = "pelwin.exe"
    EXIT_SECONDS = 15
    reads_pane = False

    def __init__(self, session):
        self.session = session
        self.probe = os.environ["WE_PROBE"]
        self.process = None

    def look(self, seconds=0):
        """pelwin_probe's description of the main window, or None."""
        look = [self.probe, "window", "class:PelwinWindow", str(seconds)]
        status, out, err = self.session.wine(*look)
        with open(self.session.path("look.txt"), "w") as f:
            f.write(out)
        return out.splitlines() if status == 0 else None

    def view(self):
        lines = self.look()
        if lines is None:
            return None
        title = None
        buttons = {}
        lists = []
        for line in lines:
            if line.startswith('title "') and line.endswith('"'):
                title = line[7:-1]
            m = _CHILD.match(line)
            if not m:
                continue
            if m.group(1) == "ComboBox":
                lists.append((int(m.group(3)), (int(m.group(9)), int(m.group(10)), m.group(8))))
            elif m.group(1) == "Button":
                buttons[m.group(8)] = m.group(7)
        lists = [entry for _, entry in sorted(lists)]
        return harness.View(title, buttons, lists, None, lines)

    def wait(self, condition, seconds=15):
        last = [None]

        def holds():
            last[0] = self.view()
            return last[0] is not None and condition(last[0])

        if not poll(seconds, holds, 0.05):
            log(f"the window:\n{last[0]}")
            fail(f"pelwin.exe never showed {condition.what}")

    def start(self):
        self.process = self.session.start([os.environ["WE_PELWIN"]], "pelwin.out")
        lines = self.look(30)
        check(lines, "no pelwin window")
        kind = os.environ.get("WE_PELWIN_PROCESS")
        if kind:
            shown = [line for line in lines if line.startswith("process ")]
            check(shown == [f"process {kind}"], f"pelwin.exe runs as {shown}, not {kind}")

    def title(self):
        v = self.view()
        return v.title if v else None

    def wait_title(self, title, seconds=15):
        self.wait(harness.title_is(title), seconds)

    def _center(self, predicate):
        lines = self.look() or []
        origin = [line.split()[1:3] for line in lines if line.startswith("origin ")]
        for line in lines:
            m = _CHILD.match(line)
            if m and predicate(m):
                ox, oy = (int(n) for n in origin[0])
                x, y, w, h = (int(m.group(i)) for i in range(2, 6))
                return ox + x + w // 2, oy + y + h // 2
        return None

    def click(self, label):
        """Presses the enabled button with the mouse, as a user would."""
        wanted = ("Button", "enabled", label)
        where = poll(15, lambda: self._center(lambda m: m.group(1, 7, 8) == wanted))
        check(where, f'no enabled button "{label}"')
        self.session.xdotool("mousemove", str(where[0]), str(where[1]), "click", "1")

    def pick(self, number, item, text, opened=None):
        """Item ITEM (from 1) of drop-down list NUMBER (1 the upper) with the
        mouse and the arrow keys; the list then shows TEXT. OPENED() is called
        once the mouse has opened the list."""
        v = poll(15, lambda: (lambda v: v if v and len(v.lists) >= number else None)(self.view()))
        check(v, f"no drop-down list {number}")
        selected = v.lists[number - 1][0]
        tops = sorted(
            (int(m.group(3)), m)
            for m in map(_CHILD.match, self.look() or [])
            if m and m.group(1) == "ComboBox"
        )
        y_of_list = tops[number - 1][0]
        where = self._center(lambda m: m.group(1) == "ComboBox" and int(m.group(3)) == y_of_list)
        self.session.focus(v.title)
        self.session.xdotool("mousemove", str(where[0]), str(where[1]), "click", "1")
        if opened:
            opened()
        steps = item - selected
        keys = ["Down" if steps > 0 else "Up"] * abs(steps)
        self.session.xdotool("key", "--delay", "50", *keys, "Return")
        self.wait(harness.list_shows(number, item, text))

    def box(self, title, seconds=15):
        """The open message box with that title: (its lines, "shown" when it
        shows an icon). Windows does not tell another process which icon."""
        status, out, err = self.session.wine(self.probe, "dialog", title, str(seconds))
        with open(self.session.path("box.txt"), "w") as f:
            f.write(out)
        check(status == 0, f'no box "{title}": {err.strip()}')
        lines = [line[5:] for line in out.splitlines() if line.startswith("line ")]
        # The Win32 box keeps an empty line's height with a blank.
        while lines and lines[-1].strip() == "":
            lines.pop()
        return lines, "shown" if "icon yes" in out.splitlines() else None

    def box_key(self, title, key):
        self.session.focus(title)
        self.session.xdotool("key", key)

        def gone():
            return self.session.wine(self.probe, "dialog", title, "0")[0] != 0

        check(poll(10, gone, 0.1), f'the box "{title}" stayed open after {key}')

    def x_window(self):
        title = self.title()
        found = harness.x_windows(self.session.env, title) if title else []
        check(found, f'no X window titled "{title}"')
        return found[0]

    def close_all(self, which):
        """Every main window (all), or the first opened (oldest), asked to
        close through its window menu at one moment; how many were."""
        status, out, err = self.session.wine(self.probe, "close", "class:PelwinWindow", which)
        check(status == 0, f"pelwin_probe close {which}: {err.strip()}")
        closed = out.split()
        check(closed[:1] == ["closed"] and len(closed) == 2, f"the probe's close said {out!r}")
        return int(closed[1])

    def close(self):
        """Alt+F4 to the main window."""
        title = self.title()
        check(title, "no pelwin window to close")
        self.session.focus(title)
        self.session.xdotool("key", "alt+F4")


    # The registry, read as the driver reads it: in the 64-bit view. With
    # Wine's 32-bit side installed a bare `wine reg` is the 32-bit reg.exe,
    # which would also see a value that WOW64 had redirected away.
    def _query(self, key, *arguments, missing):
        """reg query's value lines as {name: data}; None when reg says the
        value or key is not there. Any other failure fails the test: a probe
        that cannot read the registry must not pass for "no value"."""
        status, out, err = self.session.wine("reg", "query", key, *arguments)
        out += err
        out = "\n".join(line for line in out.splitlines() if line)
        if status != 0:
            query = f"reg query {key} {' '.join(arguments)}"
            expected = f"reg: Unable to find the specified registry {missing}"
            check(out == expected, f"{query} failed (status {status}): {out}")
            return None
        values = {}
        for line in out.splitlines():
            words = line.split()
            if len(words) >= 3 and words[1].startswith("REG_"):
                values[words[0]] = words[2]
        return values

    def _value(self, key, name, view64=True):
        values = self._query(key, "/v", name, *(["/reg:64"] if view64 else []), missing="value")
        if values is None:
            return None
        check(name in values, f"reg query of {name} under {key} shows no value")
        return int(values[name], 0)

    def permission(self, service):
        """The driver's AllowEEPROMWrite, or None when there is none."""
        return self._value(_service_key(service), "AllowEEPROMWrite")

    def permissions(self):
        """The services of every sample kind that hold a permission."""
        return [service for service in SERVICES if self.permission(service) is not None]

    def take_hold_name(self, code):
        """The event named as the permission hold of CODE, made first by
        pelwin_probe as a process that is not an administrator's would make
        it, and kept until the session ends."""
        out = self.session.path("squat.out")
        self.session.start([self.probe, "squat", f"Global\\pelwin.permission.{code}"], "squat.out")

        def squatting():
            with open(out) as f:
                return "squatting" in f.read()

        check(harness.poll(15, squatting), "pelwin_probe did not take the hold's name")

    def clear_permission(self, service):
        """A permission left by an earlier failed run would hide a missing grant."""
        value = ["/v", "AllowEEPROMWrite", "/reg:64", "/f"]
        self.session.wine("reg", "delete", _service_key(service), *value)

    def marks(self):
        """pelwin's marks of its grants, in the machine's 64-bit view: a mark
        the 32-bit program left under WOW6432Node would be none."""
        values = self._query("HKLM\\Software\\Varnosti\\pelwin\\Grants", "/reg:64", missing="key")
        return sorted(values or {})

    def window_position(self):
        key = "HKCU\\Software\\Varnosti\\pelwin\\Window"
        return self._value(key, "XPos", False), self._value(key, "YPos", False)

    def shot(self, name):
        """A picture of the screen as it is now, for people to look at: what
        the Windows product shows with a camera behind it."""
        artifacts = os.environ.get("E2E_ARTIFACTS")
        if not artifacts:
            return
        folder = os.path.join(artifacts, "screenshots")
        os.makedirs(folder, exist_ok=True)
        picture = os.path.join(folder, f"{self.session.name}-{name}.png")
        crop = ["-crop", "420x260+80+80", "+repage"]
        harness.run(["import", "-window", "root", *crop, picture], self.session.env)


class Report:
    """pelwin-report.exe in the session's prefix, where the stand-ins of all
    eight kinds are installed (so all six service keys are there). What a
    case changes in the registry goes back at its end, whatever its outcome:
    the other tests share the prefix."""

    NAME = "pelwin-report.exe"
    LINE_END = "\r\n"
    NOTEPAD = "pelwin-report.txt - Notepad"

    def __init__(self, session):
        self.session = session
        self.program = os.environ["WE_REPORT"]
        self.probe = os.environ["WE_PROBE"]
        self.undo = []

    def run(self, *arguments):
        """Standard output a file, as from a script: the report is printed there."""
        return self.session.wine(self.program, *arguments)

    def to_file(self):
        path = self.session.path("output.txt")
        status, out, err = self.run("--output", self.session.winpath(path))
        with open(path, "rb") as f:
            return status, out + err, f.read()

    def own_console(self):
        """As Explorer starts it: `start` opens it through the shell, which
        gives a console program a console of its own. The report must land in
        %TEMP%\\pelwin-report.txt, with CR LF line ends, and Notepad must show
        that file; what the file says."""
        temp = self.session.wine("cmd", "/c", "echo %TEMP%")[1].strip()
        file = harness.run(["winepath", "-u", f"{temp}\\pelwin-report.txt"], self.session.env)[1]
        file = file.strip()
        check(temp and file, "no %TEMP% in the prefix")
        if os.path.exists(file):
            os.remove(file)
        # Into a file: what `start` starts keeps its output open.
        started = self.session.start(["start", "/unix", self.program], "start.out")
        try:
            status = started.wait(30)
        except subprocess.TimeoutExpired:
            status = "none: it did not end"
        with open(self.session.path("start.out"), errors="replace") as f:
            check(status == 0, f"start did not start {self.NAME} (status {status}): {f.read()}")
        status, out, err = self.session.wine(self.probe, "window", self.NOTEPAD, "30")
        check(status == 0, f"Notepad did not show the report: {out}{err}")
        check(os.path.isfile(file), f"no {temp}\\pelwin-report.txt")
        with open(file, "rb") as f:
            raw = f.read()
        harness.check_line_ends(raw, self.LINE_END, "the report file")
        for window in harness.x_windows(self.session.env, self.NOTEPAD)[:1]:
            self.session.xdotool("windowfocus", "--sync", window, "key", "alt+F4")

        def closed():
            return self.session.wine(self.probe, "dialog", self.NOTEPAD, "0")[0] != 0

        check(poll(10, closed, 0.1), "Notepad did not close")
        os.remove(file)
        return raw.decode(errors="replace").replace("\r", "")

    # Values and keys are changed in the 64-bit view, the one the driver reads.
    def _reg(self, *arguments):
        status, out, err = self.session.wine("reg", *arguments, "/f", "/reg:64")
        check(status == 0, f"reg {' '.join(arguments)}: {out}{err}")

    def set_permission(self, service, value):
        key = _service_key(service)
        self._reg("add", key, "/v", "AllowEEPROMWrite", "/t", "REG_DWORD", "/d", str(value))
        self.undo.append(("delete", key, "/v", "AllowEEPROMWrite"))

    def delete_key(self, service):
        self._reg("delete", _service_key(service))
        self.undo.append(("add", _service_key(service)))

    def state(self):
        """The six drivers' service keys with everything below them, and
        pelwin's own settings; reg's answer for a key that is not there is
        part of it."""
        keys = [_service_key(s).rsplit("\\", 1)[0] for s in SERVICES]
        found = []
        for key in keys:
            found.append((key, *self.session.wine("reg", "query", key, "/s", "/reg:64")))
        key = "HKCU\\Software\\Varnosti"
        found.append((key, *self.session.wine("reg", "query", key, "/s")))
        return found

    def end(self):
        for undo in self.undo:
            status, out, err = self.session.wine("reg", *undo, "/f", "/reg:64")
            if status != 0:
                log(f"could not undo: reg {' '.join(undo)}: {out}{err}")
        self.undo = []
