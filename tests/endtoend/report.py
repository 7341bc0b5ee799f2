"""pelwin-report in the situations a user meets, on either port:

    run.py linux|wine report CASE

The port's `Report` runs the program and stages the registry; `Camera` is the
one the other scenarios use. What the report must say in each case is in
expected/report.tsv, one fact a line under a header line, tab-separated: the
cases it holds for (space-separated, `*` for every case), the check, and its
text. The checks:

    line       the report has this line, exactly; `{image OFFSET COUNT}` in it
               stands for those bytes of the camera's image as the report
               prints them
    lines N    N lines of the report match this regular expression
    request    the camera got this request; a case's rows are every request
               it got, in their order: reads only
    seconds    the report took from A to B seconds ("A B")

Every case also checks that the report ends with status 0 and changed
nothing: the drivers' keys, pelwin's own settings and the camera's image are
what they were before it ran."""

import csv
import os
import re
import time

import harness
from harness import check, fail, log, poll
from scenarios import EXPECTED

TABLE = os.path.join(EXPECTED, "report.tsv")
HEADER = ["cases", "check", "what"]
_CHECKS = re.compile(r"^(line|lines [0-9]+|request|seconds)$")


def facts(case):
    """The table's rows for CASE: [(check, text)], in the table's order."""
    found = []
    with open(TABLE, encoding="utf-8", newline="") as f:
        table = csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE)
        check(next(table, None) == HEADER, f"{TABLE}: the first line is not {HEADER}")
        for number, row in enumerate(table, 2):
            where = f"{TABLE}:{number}"
            check(len(row) == len(HEADER), f"{where}: not {len(HEADER)} cells: {row}")
            cases, kind, text = row
            check(_CHECKS.match(kind), f"{where}: no check {kind!r}")
            unknown = set(cases.split()) - set(CASES) - {"*"}
            check(not unknown, f"{where}: no case {' '.join(sorted(unknown))}")
            if cases == "*" or case in cases.split():
                found.append((kind, text))
    return found


def _image_bytes(image, match):
    offset, count = int(match.group(1), 0), int(match.group(2))
    check(offset + count <= len(image), f"{{image {match.group(1)} {count}}} is past the image")
    return " ".join(f"{b:02x}" for b in image[offset : offset + count])


def check_facts(case, text, seconds, cam):
    """The report's TEXT and the camera's requests against the case's rows."""
    lines = text.splitlines()
    image = None
    requests = []
    for kind, what in facts(case):
        if kind == "line":
            if "{image " in what:
                if image is None:
                    image = harness.read_image(cam.session.path("before.bin"))
                what = re.sub(r"\{image (\S+) ([0-9]+)\}", lambda m: _image_bytes(image, m), what)
            if what not in lines:
                log(f"the report:\n{text}")
                fail(f'no line "{what}"')
        elif kind.startswith("lines "):
            wanted = int(kind.split()[1])
            found = sum(1 for line in lines if re.search(what, line))
            if found != wanted:
                log(f"the report:\n{text}")
                fail(f'{found} lines match "{what}", not {wanted}')
        elif kind == "request":
            requests.append(what)
        else:
            low, high = (int(n) for n in what.split())
            check(low <= seconds <= high, f"the report took {seconds:.1f} s, not {low} to {high}")
    if cam.server is not None:
        check_requests(cam, requests)


def check_requests(cam, expected):
    """The camera's frame log holds exactly these requests. A request is
    logged as it arrives; give the last one a moment."""

    def seen():
        with open(cam.log_path, encoding="utf-8", errors="replace") as f:
            frames = harness.frames_of(f.read()).splitlines()
        return [line[len("request: ") :] for line in frames if line.startswith("request: ")]

    if not poll(5, lambda: seen() == expected, 0.1):
        fail(f"the camera got the requests {seen()}, not the report's reads {expected}")


# What each case stages before the report runs, and how the report is started.
CASES = {
    "no_camera": {},
    "camera": {"serve": "selvo-kaf"},
    "camera_tamis": {"serve": "tamis-a"},
    # After the camera is served: the camera's server makes its driver's key.
    "key_missing": {"serve": "selvo-kaf", "delete_key": "ralcamF"},
    # Left behind by a pelwin that ended without taking it back, and values
    # some other program wrote; 0 grants nothing.
    "permission_standing": {"permissions": [("ralcamF", 1), ("ralcamI", 42), ("ralcamB", 0)]},
    # The camera is found and its pipes open, but it holds back every reply.
    "stalled": {"serve": "selvo-kaf", "fault": ["delay", "60000"]},
    # The camera closes the connection at the header's read; answers it with
    # its first byte inverted; its data pipe does not open.
    "lost": {"serve": "selvo-kaf", "fault": ["drop", "1"]},
    "wrong_marker": {"serve": "selvo-kaf", "fault": ["corrupt", "1"]},
    "data_pipe": {
        "serve": "selvo-kaf",
        "fault": ["pipe", "1", "on"],
        "clear": ["pipe", "1", "off"],
    },
    # Started with a console of its own, as from Explorer.
    "own_console": {"console": True},
}


def report(rep, cam, case):
    check(case in CASES, f"report: no case {case}; the cases: {' '.join(CASES)}")
    stage = CASES[case]
    if "serve" in stage:
        cam.serve(stage["serve"])
    if "delete_key" in stage:
        rep.delete_key(stage["delete_key"])
    for service, value in stage.get("permissions", []):
        rep.set_permission(service, value)
    if "fault" in stage:
        cam.fault(*stage["fault"])
    before = rep.state()

    started = time.monotonic()
    if stage.get("console"):
        text = rep.own_console()
    else:
        status, text, err = rep.run()
        check(status == 0, f"{rep.NAME} ended with status {status}: {err.strip()}")
    seconds = time.monotonic() - started
    check_facts(case, text, seconds, cam)

    if case == "no_camera":
        # --output FILE: the same report in the file, nothing printed.
        status, printed, raw = rep.to_file()
        check(status == 0, f"{rep.NAME} --output ended with status {status}")
        check(printed == "", f"{rep.NAME} --output printed: {printed}")
        harness.check_line_ends(raw, rep.LINE_END, "the --output file")
        check(raw.decode().replace("\r", "") == text, "--output wrote another report")

    if "fault" in stage:
        cam.fault(*stage.get("clear", ["clear"]))
    after = rep.state()
    for entry in [e for e in after if e not in before] + [e for e in before if e not in after]:
        log(f"{'now' if entry in after else 'was'}: {entry}")
    check(after == before, "the report changed the registry or pelwin's settings")
    if cam.server is not None:
        cam.check_image()


SCENARIOS = {"report": report}
