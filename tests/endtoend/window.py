"""The Linux port's own scenarios: what only its FLTK window shows (pixels,
the snapshot's lines, a window X moves), the command line, and the demo.
They take port_linux's Program and Camera."""

import os
import re
import shlex
import time

import harness
from harness import (
    ENABLED,
    both,
    button_is,
    check,
    done_page,
    filters_page,
    scan_page,
    shows,
    unplug_page,
)
from scenarios import NO_CAMERA, check_exit

ABOUT = "About configuration tool"
VERSION = "pelwin 3.0.0.0"


def position(app, cam):
    """The window opens where it was last closed: the frame's close request
    stores its left and top edges in the user registry, the next start reads
    them. A stored position partly on the screen is used as it is; one on no
    screen at all (its monitor has gone) opens the window at 100,100. No
    camera: the position does not depend on one."""

    def opens_at(x, y):
        # pelwin's own view and the X server's agree.
        app.wait_line(rf"^window 0x[0-9a-f]+ {x} {y} 272 188 normal open ")
        check(app.placed() == (x, y), f"X places the window at {app.placed()}, not {x},{y}")

    def closes_storing(x, y):
        app.close()
        check_exit(app)
        stored = app.window_position()
        check(stored == (x, y), f"stored position {stored}, expected {x},{y}")

    app.start()
    opens_at(100, 100)
    app.move(150, 120)
    opens_at(150, 120)
    closes_storing(150, 120)
    app.start()
    opens_at(150, 120)
    closes_storing(150, 120)
    # The screen is 640 by 480, the window 272 by 188.
    for stored, opened in (((-40, 400), (-40, 400)), ((-40, 600), (100, 100))):
        app.store_window_position(*stored)
        app.start()
        opens_at(*opened)
        closes_storing(*opened)


def about(app, cam):
    """The pane in pixels: labels that end at x 92, the etched separator in
    its two line colours across the pane. The window's own About command,
    from F1 and from its right-click menu: the box with the tool's name, the
    version embedded in the executable and the program's icon; a camera
    unplugged meanwhile is still noticed; Escape closes the box, not the
    wizard."""
    cam.serve("selvo-e2v")
    app.start()
    app.wait_line(r'^    text 100 46 [0-9]+ bold "')
    for label in ("Camera type:", "Camera ID:", "Filter positions:", "Filter wheel type:"):
        app.wait_line(rf'^    text [0-9]+ (46|70|94|118) 92 regular "{label}"$')
    # The pane at 8,8, its separator at pane y 38 and 39, across its whole width.
    rows = app.pixels(8, 46, 257, 2)
    for x in (8, 100, 263):
        check(rows[x, 46] == "808080", f"upper separator line at x {x} is {rows[x, 46]}")
        check(rows[x, 47] == "FFFFFF", f"lower separator line at x {x} is {rows[x, 47]}")
    check(rows[264, 46] != "808080", "the separator runs past the pane")

    app.press("F1", at=(200, 60))
    box = app.wait_line(rf'^box 0x[0-9a-f]+ (\d+) (\d+) .* picture "{ABOUT}"$')
    lines, _ = app.box(ABOUT)
    copyright_ = "Copyright (C) 2026 Varnosti Instruments"
    check(lines == ["Corvane v3.0", "3.0.0.0", copyright_], f"the About box says {lines}")
    # The 48-pixel icon sits 12 pixels in: a picture has many colours, a
    # blank background one.
    x, y = (int(n) + 12 for n in box.groups())
    colours = len(set(app.pixels(x, y, 48, 48, screen=True).values()))
    check(colours > 8, f"no icon in the About box ({colours} colours)")
    # Device notifications still arrive while the box holds its own loop.
    cam.unplug()
    app.wait_title(NO_CAMERA)
    check(app.line("^box "), "the unplug closed the About box")
    app.box_key(ABOUT, "Escape")

    # Escape is no close request for the wizard itself.
    app.press("Escape", at=(200, 60))
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        open_ = app.process.poll() is None and app.line(r"^window .* normal open ")
        check(open_, "Escape closed the window")
        time.sleep(0.05)

    app.click_at(200, 60, button=3)
    app.click_at(220, 70)
    app.wait_line(rf'^box 0x[0-9a-f]+ .* picture "{ABOUT}"$')
    app.box_key(ABOUT, "Return")
    app.close()
    check_exit(app)


def command_line(app, cam):
    """--help and --version without a display; the version is the one
    embedded in the executable (the one the About box shows)."""
    env = {k: v for k, v in app.session.env.items() if k != "DISPLAY"}

    def answer(*arguments):
        status, out, err = harness.run([os.environ["PELWIN"], *arguments], env)
        check(status == 0, f"pelwin {' '.join(arguments)} ended with status {status}: {err}")
        return out

    shown = answer("--help")
    for name in ("DEVICE_ROOT", "USER_REGISTRY", "MACHINE_REGISTRY", "OBJECT_ROOT", "ADMIN"):
        check(f"PELWIN_{name}" in shown, f"--help does not mention PELWIN_{name}")
    check(answer("--version") == f"{VERSION}\n", f"--version printed {answer('--version')!r}")
    # Arguments are otherwise ignored: the first one that is asked for counts.
    check(answer("--bogus", "--version") == f"{VERSION}\n", "--version after another argument")


# The demo (tools/demo.sh): a Selvo KAF camera and what it is turned into.
DEMO_SAMPLE = "selvo-kaf"
DEMO_NAME = "SV-KAF 1600"
DEMO_PICKS = [(4, "7 positions"), (2, "EFW revision 2")]


def say(text):
    print(text, flush=True)


def demo(app, cam):
    """With E2E_DISPLAY you drive pelwin yourself and are told when to unplug
    and replug the camera. Without it pelwin runs in a private X server and
    the demo drives the five pages: a first write that the camera refuses
    (the wizard starts over), then the real one, with a picture of every page
    and box (E2E_SHOTS); it holds only when the camera has the new values."""

    def camsim(command):
        root = shlex.quote(app.session.env["PELWIN_DEVICE_ROOT"])
        return f"   PELWIN_DEVICE_ROOT={root} {shlex.quote(cam.program)} {command}"

    def show_camera(when):
        say(f"== the camera {when}")
        wanted = re.compile(r"^(camera:|camera ID|type name|filter positions|wheel type)")
        for line in filter(wanted.match, cam.run("dump").splitlines()):
            say(f"   {line}")

    cam.serve(DEMO_SAMPLE)
    show_camera("before")
    (_demo_driven if app.session.own_x else _demo_by_hand)(app, cam, camsim)
    check_exit(app)
    show_camera("after")
    if app.session.own_x:
        for field, (_, text) in zip(("filter positions", "wheel type"), DEMO_PICKS):
            check(cam.dump_field(field) == text, f"the camera's {field} is not {text}")
        say("== the camera holds the new configuration")


def _demo_by_hand(app, cam, camsim):
    say(f"== pelwin runs on {app.session.env['DISPLAY']}; close it or press Finish to end")
    app.start()
    hints = {
        2: ("page 2 asks you to unplug the camera; in another terminal run:", "unplug"),
        3: ("page 3: plug the camera in again, then press [Scan camera]:", "plug"),
    }
    while app.process.poll() is None:
        view = app.view()
        for step in [s for s in hints if view and view.heading(f"Step {s}:")]:
            text, command = hints.pop(step)
            say(f"== {text}\n{camsim(command)}")
        time.sleep(0.2)


def _demo_driven(app, cam, camsim):
    say("== no display: pelwin runs in a private X server, driven by xdotool")
    app.start()
    say("-- page 1: the first scan")
    _demo_to_filters(app, cam, camsim, first=True)
    say("-- page 4: first a write that the camera refuses")
    app.shot("4-filters")
    say(camsim("fault refuse 1 0x82"))
    cam.fault("refuse", "1", "0x82")
    app.click("Write Filters")
    app.box("Error")
    app.shot("error-write", "box")
    app.box_key("Error", "Return")

    say("-- page 1 again: the wizard started over")
    _demo_to_filters(app, cam, camsim, first=False)
    say(f"-- page 4: {DEMO_PICKS[0][1]}, {DEMO_PICKS[1][1]}")
    # The open list is no part of the snapshot: a moment to draw it.
    x, y, w, h = map(int, app.line(r"^  choice (\d+) (\d+) (\d+) (\d+) ").groups())
    app.click_at(x + w // 2, y + h // 2)
    time.sleep(0.3)
    app.shot("4-list-open", "window", (300, 260))
    app.press("Escape")
    for number, (item, text) in enumerate(DEMO_PICKS, 1):
        app.pick(number, item, text)
    app.click("Write Filters")
    app.wait(button_is("Next ->", ENABLED))
    app.shot("4-written")
    app.click("Next ->")

    say("-- page 5: done")
    app.wait(done_page(5))
    app.shot("5-done")
    app.click("Finish")


def _demo_to_filters(app, cam, camsim, first):
    """Pages 1 to 3, up to the filters page; pictures on the first walk only."""
    shot = app.shot if first else lambda *_: None
    app.wait(both(scan_page(1, next_enabled=True), shows(100, 46, DEMO_NAME)))
    if first:
        shot("1-scan")
        app.press("F1", at=(200, 60))
        app.box(ABOUT)
        shot("about", "box")
        app.box_key(ABOUT, "Return")
    app.click("Next ->")

    say("-- page 2: unplug the camera")
    app.wait(unplug_page(2))
    shot("2-unplug")
    say(camsim("unplug"))
    cam.unplug()

    say("-- page 3: plug it in again and scan (the unplug moved the wizard on)")
    app.wait(both(scan_page(3), shows(100, 46, "Not connected")))
    shot("3-unplugged")
    say(camsim("plug"))
    cam.plug()
    app.click("Scan camera")
    app.wait(shows(100, 46, DEMO_NAME))
    shot("3-scan-again")
    app.click("Next ->")
    app.wait(filters_page(4))


SCENARIOS = {
    "position": position,
    "about": about,
    "command_line": command_line,
    "demo": demo,
}
