"""What every end-to-end scenario uses, whatever the port: failing, waiting,
what the window shows, and the camera's frames and image compared with what
they must be."""

import os
import re
import shutil
import subprocess
import sys
import time


class Failure(Exception):
    """A check that did not hold; its text says which."""


_started = time.monotonic()
NAME = "e2e"


def log(text):
    print(f"[{NAME} {time.monotonic() - _started:5.1f}s] {text}", file=sys.stderr, flush=True)


def fail(text):
    raise Failure(text)


def check(condition, text):
    if not condition:
        fail(text)


def poll(seconds, probe, interval=0.05):
    """probe() until it returns something true, at most SECONDS; returns its
    last answer (false when time ran out)."""
    deadline = time.monotonic() + seconds
    while True:
        answer = probe()
        if answer or time.monotonic() >= deadline:
            return answer
        time.sleep(interval)


def run(command, env):
    """A program to its end: (status, output, error output), without the CRs
    of Windows line ends."""
    done = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, capture_output=True)
    return (
        done.returncode,
        done.stdout.decode(errors="replace").replace("\r", ""),
        done.stderr.decode(errors="replace").replace("\r", ""),
    )


def start(command, env, out_path):
    """A program in the background, its output and error output in a file."""
    with open(out_path, "w") as out:
        return subprocess.Popen(
            command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT
        )


def check_line_ends(raw, line_end, what):
    """Every line of RAW (bytes) ends in the port's LINE_END and nothing else."""
    lines = raw.split(b"\n")
    check(lines[-1] == b"", f"{what} does not end with a line end")
    cr = line_end == "\r\n"
    ends = all(line.endswith(b"\r") == cr for line in lines[:-1])
    check(ends, f"{what}: not every line ends in {line_end!r}")


def x_windows(env, title):
    """The visible X windows with that title."""
    search = ["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"]
    return run(search, env)[1].split()


def keep_failure(work, name, env):
    """A screenshot and the test's files in $E2E_ARTIFACTS/NAME."""
    artifacts = os.environ.get("E2E_ARTIFACTS")
    if not artifacts:
        return
    folder = os.path.join(artifacts, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    picture = os.path.join(folder, "failure.png")
    run(["import", "-display", env.get("DISPLAY", ""), "-window", "root", picture], env)
    for file in os.listdir(work):
        if os.path.isfile(os.path.join(work, file)):
            shutil.copy(os.path.join(work, file), folder)
    log(f"screenshot and logs kept in {folder}")


class Camera:
    """What a camera server of either port is asked: a port fills in `_run`
    (a client command to its end), `serve` and `save_image`."""

    name = "camsim"

    def __init__(self, session, program):
        self.session = session
        self.program = program
        self.log_path = session.path("frames.log")
        self.server = None
        # The camera that the image checks mean when two are served.
        self.camera = None

    def run(self, *arguments):
        status, out, err = self._run(*arguments)
        check(status == 0, f"{self.name} {' '.join(arguments)}: {err.strip()}")
        return out

    def _serve(self, command, seconds):
        """Starts the server, waits for its "ready" and keeps the image it
        serves at the start."""
        out_path = self.session.path("serve.out")
        self.server = self.session.start(command, "serve.out")

        def ready():
            with open(out_path) as f:
                return any(line.startswith("ready") for line in f)

        if not poll(seconds, ready, 0.1):
            with open(out_path) as f:
                fail(f"{self.name} serve did not start: {f.read()}")
        self.save_image(self.session.path("before.bin"))

    def plug(self, camera=None):
        self.run("plug", *([camera] if camera else []))

    def unplug(self, camera=None):
        self.run("unplug", *([camera] if camera else []))

    def fault(self, *arguments):
        self.run("fault", *arguments)

    def dump_field(self, name, camera=None):
        for line in self.run("dump", *([camera] if camera else [])).splitlines():
            if line.startswith(f"{name}: "):
                return line[len(name) + 2 :]
        return None

    def status_field(self, name):
        for word in self.run("status").split():
            if word.startswith(f"{name}="):
                return word[len(name) + 1 :]
        return None

    def check_image(self, *offsets):
        after = self.session.path("after.bin")
        self.save_image(after)
        check_image(self.session.path("before.bin"), after, set(offsets))

    def check_untouched(self, camera):
        """The camera got no write frame and holds the image it had when
        saved as CAMERA.before.bin."""
        check(self.requests(camera, "13") == 0, f"a write frame reached the camera {camera}")
        after = self.session.path(f"{camera}.after.bin")
        self.save_image(after, camera)
        before = read_image(self.session.path(f"{camera}.before.bin"))
        check(read_image(after) == before, f"the image of the camera {camera} changed")

    def check_frames(self, expected, by_camera=False):
        check_frames(self.log_path, expected, self.session.path("frames.txt"), by_camera)

    def opened(self, camera):
        """How often the program has opened the camera's command pipe."""
        with open(self.log_path, errors="replace") as f:
            return f.read().count(f" {camera}: pipe 0 opened by pid ")

    def requests(self, camera, command):
        """The requests of that command byte the camera got."""
        with open(self.log_path, errors="replace") as f:
            pattern = re.compile(rf" {camera}: request from pid [0-9]+: {command} ")
            return len(pattern.findall(f.read()))

    def stop(self):
        """Ends the server. One that does not stop when asked, or does not end
        with status 0 (also before it was asked), fails the test: the camera
        must survive everything the program does."""
        server, self.server = self.server, None
        if server is None:
            return
        if server.poll() is None:
            status, _, err = self._run("stop")
            if status != 0:
                server.terminate()
                server.wait(20)
                fail(f"{self.name} stop: {err.strip()}")
        served = server.wait(20)
        if served != 0:
            with open(self.session.path("serve.out")) as f:
                fail(f"{self.name} serve ended with status {served}: {f.read()}")


ENABLED = "enabled"
DISABLED = "disabled"


class View:
    """The main window at one moment, as a port reads it.

    buttons: label -> "enabled" or "disabled"; lists: (item, count, text) of
    each drop-down list from the top; pane: the drawn texts of the
    information pane as (x, y, font, text), or None on a port that cannot
    read drawn text (Windows draws them; no window holds them)."""

    def __init__(self, title, buttons, lists, pane, lines):
        self.title = title
        self.buttons = buttons
        self.lists = lists
        self.pane = pane
        self.lines = lines

    def button(self, label):
        return self.buttons.get(label)

    def heading(self, text):
        """The page heading, drawn bold at the pane's corner (only where the
        pane can be read)."""
        return self.pane is None or (0, 0, "bold", text) in self.pane

    def value_at(self, x, y):
        """The bold value drawn at that place of the pane, or None."""
        for tx, ty, font, text in self.pane or []:
            if (tx, ty, font) == (x, y, "bold"):
                return text
        return None

    def shows(self, x, y, text):
        """A bold value at that place of the pane (only where it can be read)."""
        return self.pane is None or (x, y, "bold", text) in self.pane

    def __str__(self):
        return "\n".join(self.lines)


# The wizard's pages, told apart by their controls on every port; where the
# pane can be read, by their headings too ("Step N:").
def scan_page(step, next_enabled=None):
    next_state = ENABLED if next_enabled else DISABLED

    def holds(v):
        return (
            v.button("Scan camera") == ENABLED
            and v.button("Write Filters") is None
            and not v.lists
            and v.heading(f"Step {step}:")
            and (next_enabled is None or v.button("Next ->") == next_state)
        )

    holds.what = f"the scan page (step {step})"
    return holds


def unplug_page(step=2):
    def holds(v):
        return (
            v.button("Scan camera") is None
            and v.button("Next ->") == DISABLED
            and not v.lists
            and v.heading(f"Step {step}:")
        )

    holds.what = f"the unplug page (step {step})"
    return holds


def filters_page(step, lists=None):
    def holds(v):
        return (
            v.button("Write Filters") == ENABLED
            and v.button("Next ->") == DISABLED
            and v.heading(f"Step {step}:")
            and (lists is None or v.lists[: len(lists)] == lists)
        )

    holds.what = f"the filters page (step {step})" + (f" with lists {lists}" if lists else "")
    return holds


def done_page(step):
    def holds(v):
        return (
            v.button("Finish") == ENABLED
            and v.button("Write Filters") is None
            and not v.lists
            and v.heading(f"Step {step}:")
        )

    holds.what = f"the last page (step {step})"
    return holds


def both(*conditions):
    def holds(v):
        return all(c(v) for c in conditions)

    holds.what = " and ".join(c.what for c in conditions)
    return holds


def title_is(title):
    def holds(v):
        return v.title == title

    holds.what = f'the title "{title}"'
    return holds


def button_is(label, state):
    def holds(v):
        return v.button(label) == state

    holds.what = f'"{label}" {state}'
    return holds


def list_shows(number, item, text):
    def holds(v):
        return len(v.lists) >= number and v.lists[number - 1][::2] == (item, text)

    holds.what = f'list {number} at item {item} "{text}"'
    return holds


def shows(x, y, text):
    def holds(v):
        return v.shows(x, y, text)

    holds.what = f'"{text}" at {x},{y} of the pane (where it can be read)'
    return holds


# The camera's frame log: request and reply lines only, without time, camera
# and process id, compared byte for byte with an expected file.
_REQUEST = re.compile(r"^[0-9-]+ [0-9:.]+ ([^ ]+): request from pid [0-9]+: (.*)$")
_REPLY = re.compile(r"^[0-9-]+ [0-9:.]+ ([^ ]+): (reply( dropped[^:]*)?: .*)$")


def frames_of(log_text, by_camera=False):
    out = []
    for line in log_text.replace("\r", "").splitlines():
        m = _REQUEST.match(line) or _REPLY.match(line)
        if not m:
            continue
        frame = f"request: {m.group(2)}" if m.re is _REQUEST else m.group(2)
        out.append(f"{m.group(1)}: {frame}" if by_camera else frame)
    return "".join(f"{line}\n" for line in out)


def check_frames(log_path, expected_path, keep_as, by_camera=False):
    """The frame log is the expected file's. A reply is logged once sent: the
    last line may come a moment after the program has gone on."""
    with open(expected_path, encoding="utf-8") as f:
        expected = f.read()

    def seen():
        with open(log_path, encoding="utf-8", errors="replace") as f:
            return frames_of(f.read(), by_camera)

    got = poll(5, lambda: (lambda s: s if s == expected else None)(seen()), 0.1)
    if got is None:
        actual = seen()
        with open(keep_as, "w", encoding="utf-8") as f:
            f.write(actual)
        import difflib

        sys.stderr.writelines(
            difflib.unified_diff(
                expected.splitlines(True), actual.splitlines(True), expected_path, "frames"
            )
        )
        fail(f"the frame log differs from {os.path.basename(expected_path)}")


def read_image(path):
    """A camera's EEPROM image file."""
    with open(path, "rb") as f:
        return bytearray(f.read())


def check_image(before_path, after_path, allowed=()):
    """The camera's image differs from the one it was served with at most in
    the bytes at these offsets."""
    before, after = read_image(before_path), read_image(after_path)
    check(len(before) == len(after), f"image size {len(before)} became {len(after)}")
    bad = [i for i in range(len(before)) if before[i] != after[i] and i not in allowed]
    for i in bad[:10]:
        log(f"byte 0x{i:x}: {before[i]:02x} -> {after[i]:02x}")
    check(not bad, "the image changed beyond the chosen fields")


class Program:
    """What both ports' programs share: the end of a test that failed half-way,
    waiting for the program to end, and its window's title changes."""

    NAME = "pelwin"
    EXIT_SECONDS = 10
    process = None
    window = None

    def x_window(self):
        """The X window of the main window."""
        return self.window

    def spy_title(self):
        """Starts counting the main window's title changes as X sees them
        (TitleSpy)."""
        return TitleSpy(self.session, self.x_window())

    def end(self):
        """Ends the program if it still runs (a test that failed half-way)."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def wait_exit(self, seconds=None):
        try:
            return self.process.wait(self.EXIT_SECONDS if seconds is None else seconds)
        except subprocess.TimeoutExpired:
            fail(f"{self.NAME} did not end")


class TitleSpy:
    """A window's title changes as X sees them: xprop prints the title once at
    its start and again at every change. The title it prints for a change is
    read after the event and may already be the next one; the count is exact."""

    def __init__(self, session, window):
        self.path = session.path("titles.txt")
        command = ["xprop", "-spy", "-id", window, "WM_NAME"]
        self.process = start(command, session.env, self.path)
        session.processes.append(self.process)
        if not poll(10, lambda: self.changes() >= 0, 0.1):
            with open(self.path) as f:
                fail(f"xprop does not watch the title: {f.read()}")

    def changes(self):
        with open(self.path, errors="replace") as f:
            return sum(line.startswith("WM_NAME") for line in f) - 1

    def stop(self):
        self.process.terminate()
        self.process.wait()
