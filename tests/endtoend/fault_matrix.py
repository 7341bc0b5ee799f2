"""The fault matrix on one port: a Selvo E2V camera through the five pages
while the camera makes transfer k fail once, for every k of the path, in one
way: dropped, refused with 0x81, or cut to 5 bytes.

    run.py linux|wine fault_matrix drop|refuse|short      every k, one run each
    run.py linux|wine fault_matrix drop|refuse|short K    the run of transfer K

What each run must end with is the row of the same sample, k and fault in
expected/fault_matrix.tsv, the file the Linux matrix
(tests/integration/fault_matrix_test.cpp) answers to as well. The user goes
on as in that matrix: scans again after a failed scan, closes the message and
starts over, chooses 7 positions and revision 2, and finishes.

Checked in every run: exactly the message the row names, or no box at all;
transfer k on the path; AllowEEPROMWrite 1 while the camera is unplugged,
absent at the last page and after the end; the success page once, over an
EEPROM that holds the choice; no byte outside the chosen fields changed; the
frames byte for byte those of expected/fault_matrix.FAULT.frames ("# k=K"
heads each run's part). Every k runs in a process of its own (run.py with K),
so a failed run keeps its screenshot and logs under its own name
(NAME.K)."""

import collections
import csv
import os
import re
import subprocess
import sys

import harness
from harness import (
    ENABLED,
    both,
    check,
    done_page,
    fail,
    filters_page,
    poll,
    scan_page,
    title_is,
    unplug_page,
)
from scenarios import EXPECTED, NO_CAMERA, check_exit, check_permission, expected

TABLE = os.path.join(EXPECTED, "fault_matrix.tsv")
HEADER = ["sample", "k", "transfer", "fault", "message"]
SAMPLE = "selvo-e2v"
TITLE = "Selvo E2V"
# The transfers of the five-page path: a table without this camera's rows
# must not pass with no run at all.
TRANSFERS = 6


# A kind of fault: its name in the table, camsim's fault at transfer k, and
# what the camera's log says once it has fired.
Fault = collections.namedtuple("Fault", "name arguments fired")
FAULTS = {
    "drop": Fault("drop", lambda k: ["drop", str(k)], "fault drop:"),
    "refuse": Fault(
        "refuse 0x81", lambda k: ["refuse-at", str(k), "0x81"], "(fault refuse-at, not executed)"
    ),
    "short": Fault("short", lambda k: ["short-at", str(k), "5"], "(fault short: 5 bytes)"),
}


def rows(fault):
    """{k: (what transfer k is, the message or "")} of the camera's rows for
    that fault; a malformed table or a k with two rows fails."""
    found = {}
    with open(TABLE, encoding="utf-8", newline="") as f:
        table = csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE)
        check(next(table, None) == HEADER, f"{TABLE}: the first line is not {HEADER}")
        for number, row in enumerate(table, 2):
            check(len(row) == len(HEADER), f"{TABLE}:{number}: not {len(HEADER)} cells: {row}")
            sample, k, transfer, name, message = row
            if (sample, name) != (SAMPLE, fault.name):
                continue
            again = k.isdigit() and int(k) in found
            check(k.isdigit() and not again, f"{TABLE}:{number}: k={k} twice, or not a number")
            found[int(k)] = (transfer, "" if message == "none" else message)
    return found


def fault_matrix(app, cam, kind, k=None):
    check(kind in FAULTS, f"fault_matrix: drop, refuse or short, not {kind}")
    fault = FAULTS[kind]
    table = rows(fault)
    if k is None:
        every_k(app, kind, fault, table)
        return
    check(k.isdigit() and int(k) in table, f"no row for {SAMPLE}, k={k}, {fault.name} in {TABLE}")
    Run(app, cam, fault, int(k)).go(kind, *table[int(k)])


def every_k(app, kind, fault, table):
    """One run.py process for each k, on this port; all of them run."""
    wanted = list(range(1, TRANSFERS + 1))
    check(
        sorted(table) == wanted,
        f"{TABLE} has the rows k={sorted(table)} of {SAMPLE} {fault.name}, not k=1 to {TRANSFERS}",
    )
    port = type(app).__module__.removeprefix("port_")
    driver = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run.py")
    unexpected = []
    for k in wanted:
        name = f"{harness.NAME}.{k}"
        command = [sys.executable, driver, port, "fault_matrix", kind, str(k), "--name", name]
        child = subprocess.Popen(command, stdin=subprocess.DEVNULL)
        try:
            status = child.wait()
        finally:
            # Stopped from outside: the run ends what it started.
            if child.poll() is None:
                child.terminate()
                child.wait(60)
        harness.log(f"k={k} {'as expected' if status == 0 else 'UNEXPECTED'}")
        if status != 0:
            unexpected.append(k)
    harness.log(f"{len(wanted)} runs, {len(unexpected)} with an unexpected outcome")
    check(not unexpected, f"unexpected outcomes at k={unexpected}")


class Run:
    """One run: the camera served with the fault at transfer k, pelwin.exe
    or pelwin through the whole path, as a persistent user."""

    def __init__(self, app, cam, fault, k):
        self.app = app
        self.cam = cam
        self.fault = fault
        self.k = k
        # Once the fault has been met, the rest of the path has none.
        self.handled = False
        # The replies logged before the scan now running started.
        self.scan_mark = 0
        # The driver's service, from the served camera.
        self.service = None

    def log_text(self):
        with open(self.cam.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def fired(self):
        return self.fault.fired in self.log_text()

    def mark(self):
        self.scan_mark = self.log_text().count(": reply")

    def scan_over(self):
        """The scan started after the mark has both reads answered, or has
        met the fault (which leaves the rest of the scan out)."""
        if not self.handled and self.fired():
            return True
        return self.log_text().count(": reply") >= self.scan_mark + 2

    def box_open(self):
        """An error box is shown now. The probe is the one that finds the
        expected boxes: a run with a message shows that it sees boxes."""
        try:
            self.app.box("Error", 0)
            return True
        except harness.Failure:
            return False

    def no_box(self):
        if self.box_open():
            lines, _ = self.app.box("Error", 0)
            fail(f"unexpected box: {lines}")

    def wait_next(self, *conditions):
        """"Next ->" enabled (and the conditions), or a box, which fails."""
        condition = both(harness.button_is("Next ->", ENABLED), *conditions)

        def next_or_box():
            if self.box_open():
                return True
            v = self.app.view()
            return v is not None and condition(v)

        check(poll(15, next_or_box, 0.1), f"the window never showed {condition.what}")
        self.no_box()

    def scan_page(self, step):
        """The scan of page 1 or 3 has run; when it met the fault it failed
        without a message (the title back to the tool's for a lost link), and
        the user scans again."""
        check(poll(15, self.scan_over, 0.1), "the scan did not end")
        if not self.handled and self.fired():
            self.handled = True
            title = NO_CAMERA if self.fault.name == "drop" else TITLE
            self.app.wait(both(scan_page(step, next_enabled=False), title_is(title)))
            self.no_box()
            self.app.click("Scan camera")
        self.wait_next(title_is(TITLE))
        self.app.wait(both(scan_page(step, next_enabled=True), title_is(TITLE)))

    def to_write(self):
        """Page 1, scanned as it opens, through the power cycle to the click
        on "Write Filters"."""
        self.scan_page(1)
        self.app.click("Next ->")
        self.app.wait(both(unplug_page(2), title_is(TITLE)))
        self.cam.unplug()
        self.app.wait(both(scan_page(3, next_enabled=False), title_is(NO_CAMERA)))
        check_permission(self.app, self.service, 1, "while unplugged")
        self.cam.plug()
        self.mark()
        self.app.click("Scan camera")
        self.scan_page(3)
        self.app.click("Next ->")
        self.app.wait(filters_page(4))
        self.app.pick(1, 4, "7 positions")
        self.app.pick(2, 2, "EFW revision 2")
        self.app.click("Write Filters")

    def go(self, kind, transfer, message):
        app, cam, k = self.app, self.cam, self.k
        harness.log(f"k={k} ({transfer}), {self.fault.name}, expected message: {message or 'none'}")
        cam.serve(SAMPLE)
        service = re.search(r"driver service (\w+)\)", cam.run("dump"))
        check(service, "camsim dump names no driver service")
        self.service = service.group(1)
        app.clear_permission(self.service)
        cam.fault(*self.fault.arguments(k))
        app.start()

        self.to_write()
        if message:
            lines, _ = app.box("Error")
            check(lines[:1] == [message], f'the box says {lines}, not "{message}"')
            # The write met the fault; the path from here on has none.
            self.handled = True
            self.mark()
            app.box_key("Error", "Return")
            # Started over at page 1, scanned afresh: the whole path again.
            self.to_write()
        self.handled = True
        self.wait_next()
        requests = self.log_text().count(": request from pid ")
        check(requests >= k, f"transfer {k} is not on the path ({requests} requests)")
        app.click("Next ->")
        app.wait(done_page(5))
        positions = cam.dump_field("filter positions")
        check(positions == "7 positions", f"the success page over an EEPROM with {positions}")
        wheel = cam.dump_field("wheel type")
        check(wheel == "EFW revision 2", f"the success page over an EEPROM with {wheel}")
        check_permission(app, self.service, None, "at the last page")
        app.click("Finish")
        check_exit(app)
        check_permission(app, self.service, None, "after pelwin ended")

        # ConfigFlags and PositionCount: block bytes 4 and 5, the block at 10.
        cam.check_image(14, 15)
        frames = cam.session.path(f"fault_matrix.{kind}.{k}.frames")
        with open(expected(f"fault_matrix.{kind}"), encoding="utf-8") as f:
            part = frames_of_k(f.read(), k)
        check(part, f"no frames for k={k} in expected/fault_matrix.{kind}.frames")
        with open(frames, "w", encoding="utf-8") as f:
            f.write(part)
        cam.check_frames(frames)


def frames_of_k(text, k):
    """The part of an expected frames file that "# k=K" heads."""
    part = []
    keep = False
    for line in text.splitlines(True):
        if line.startswith("# "):
            keep = line.split()[1:2] == [f"k={k}"]
        elif keep:
            part.append(line)
    return "".join(part)


SCENARIOS = {"fault_matrix": fault_matrix}
