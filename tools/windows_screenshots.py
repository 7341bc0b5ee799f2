#!/usr/bin/env python3
"""Regenerates every Windows picture of the user guide: the real pelwin.exe
under Wine, driven like a user against a camera that camsim.exe serves behind
the driver stand-in, through the Windows port of the end-to-end driver
(tests/endtoend/port_wine.py) in the Wine session of BUILD-DIR
(tests/endtoend/wine_session.sh). Every picture is a screen grab of a window as Wine
draws it, title bar included; none is edited afterwards.

BUILD-DIR is the build tree whose app/pelwin.exe and pelwin_probe.exe are
used (by default build/windows-i686 when it holds pelwin.exe, else
build/windows-cross); a 32-bit tree serves the camera with the camsim.exe and
stand-in of the x86-64 tree that PELWIN_STANDIN_BUILD in its CMakeCache.txt
names:
  cmake --build --preset windows-cross --target camsim_windows camsim_standin

The tool starts BUILD-DIR's Wine session, which ends one still running: do
not run it while that tree's Wine tests run. For Windows-like caption buttons
it puts Wine's Marlett font into the prefix for the duration of the run (from
/usr/share/wine/fonts, else from the package fonts-wine, fetched with
`apt-get download` into the tree). Takes about a minute."""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "endtoend"))

import harness  # noqa: E402
import port_wine  # noqa: E402
from harness import (  # noqa: E402
    ENABLED,
    both,
    button_is,
    check,
    done_page,
    filters_page,
    log,
    poll,
    scan_page,
    title_is,
    unplug_page,
)
from scenarios import NO_CAMERA, check_exit  # noqa: E402

SESSION = os.path.join(ROOT, "tests", "endtoend", "wine_session.sh")
# The Windows version Wine reports to pelwin.exe alone (admin_box sets it).
APP_VERSION_KEY = "HKCU\\Software\\Wine\\AppDefaults\\pelwin.exe"
OUT = None


def xdotool(session, *arguments):
    return harness.run(["xdotool", *arguments], session.env)[1].split()


def window_count(session):
    """Visible X windows: a menu or an opened list is one of its own."""
    return len(xdotool(session, "search", "--onlyvisible", "--name", ".*"))


def wait_more_windows(session, before, what):
    check(poll(5, lambda: window_count(session) > before, 0.1), f"no {what}")


def shot(session, name, title=None):
    """OUT/NAME.png, of the box with that title, or else of every window on
    the screen (the main window with any open menu or list). Grabbed until two
    grabs agree, so that no picture is caught mid-paint."""
    session.xdotool("mousemove", "1020", "760")
    screen_w, screen_h = (int(n) for n in xdotool(session, "getdisplaygeometry"))
    if title:
        windows = harness.x_windows(session.env, title)[:1]
    else:
        windows = xdotool(session, "search", "--onlyvisible", "--name", ".*")
    x0 = y0 = 100000
    x1 = y1 = 0
    for window in windows:
        shape = dict(
            line.split("=", 1) for line in xdotool(session, "getwindowgeometry", "--shell", window)
        )
        x, y, w, h = (int(shape[key]) for key in ("X", "Y", "WIDTH", "HEIGHT"))
        if w >= screen_w and h >= screen_h:
            continue
        x0, y0, x1, y1 = min(x0, x), min(y0, y), max(x1, x + w), max(y1, y + h)
    check(x1 > x0, f"nothing to photograph for {name}")
    crop = f"{x1 - x0}x{y1 - y0}+{x0}+{y0}"
    grab, last = session.path("grab.png"), session.path("last.png")
    for _ in range(20):
        time.sleep(0.3)
        command = ["import", "-display", session.env["DISPLAY"], "-window", "root"]
        harness.run([*command, "-crop", crop, "+repage", grab], session.env)
        same = ["compare", "-metric", "AE", grab, last, "null:"]
        if os.path.exists(last) and harness.run(same, session.env)[0] == 0:
            break
        os.replace(grab, last)
    else:
        grab = last
    # No time stamps in the file: a picture that did not change stays the same bytes.
    picture = os.path.join(OUT, f"{name}.png")
    strip = ["-strip", "-define", "png:exclude-chunks=date,time"]
    harness.run(["convert", grab, *strip, picture], session.env)
    log(f"{name}.png ({crop})")


def begin(app, cam, sample=None):
    """A camera of SAMPLE, and pelwin to start afresh at its default place."""
    app.session.wine("reg", "delete", "HKCU\\Software\\Varnosti\\pelwin", "/f")
    app.session.wine("reg", "delete", APP_VERSION_KEY, "/f")
    if sample:
        cam.serve(sample)


def edit_image(cam, offset, *data):
    """The served camera's EEPROM with those bytes changed."""
    image = harness.read_image(cam.session.path("before.bin"))
    image[offset : offset + len(data)] = bytes(data)
    edited = cam.session.path("edited.bin")
    with open(edited, "wb") as f:
        f.write(image)
    cam.run("image", "--load", cam.session.winpath(edited))


def box(app, title, line):
    lines, _ = app.box(title)
    check(line in lines, f'the box "{title}" says {lines}, not "{line}"')


def five_pages(app, cam):
    """The five pages of a Selvo camera and the About box. The system menu is
    not photographed: Wine adds its own "About Wine" entry just above
    pelwin's "About...", which no crop can leave out."""
    session = app.session
    app.clear_permission("ralcamF")
    begin(app, cam, "selvo-kaf")
    app.start()
    app.wait(both(scan_page(1, next_enabled=True), title_is("Selvo KAF")))
    shot(session, "1-scan")

    before = window_count(session)
    session.focus("Selvo KAF")
    session.xdotool("key", "alt+space")
    wait_more_windows(session, before, "system menu")
    session.xdotool("key", "Up", "Return")
    app.box("About configuration tool")
    shot(session, "about", "About configuration tool")
    app.box_key("About configuration tool", "Return")

    app.click("Next ->")
    app.wait(both(unplug_page(2), title_is("Selvo KAF")))
    shot(session, "2-unplug")
    cam.unplug()
    app.wait(both(scan_page(3, next_enabled=False), title_is(NO_CAMERA)))
    shot(session, "3-unplugged")
    cam.plug()
    app.click("Scan camera")
    app.wait(both(title_is("Selvo KAF"), button_is("Next ->", ENABLED)))
    shot(session, "3-scan-again")
    app.click("Next ->")
    app.wait(filters_page(4, lists=[(1, 8, "Not installed")]))
    shot(session, "4-filters")

    # The upper list opened with the mouse, then 7 positions chosen with the keys.
    before = window_count(session)

    def opened():
        wait_more_windows(session, before, "open list")
        shot(session, "4-list-open")

    app.pick(1, 4, "7 positions", opened)
    app.pick(2, 2, "EFW revision 2")
    app.click("Write Filters")
    app.wait(button_is("Next ->", ENABLED))
    shot(session, "4-written")
    app.click("Next ->")
    app.wait(done_page(5))
    shot(session, "5-done")
    app.click("Finish")
    check_exit(app)


def no_camera(app, cam):
    """pelwin started with no camera plugged in."""
    begin(app, cam)
    app.start()
    app.wait(both(scan_page(1, next_enabled=False), title_is(NO_CAMERA)))
    shot(app.session, "1-no-camera")
    app.close()
    check_exit(app)


def tamis_errors(app, cam):
    """A Tamis camera: a write the camera refuses, one without the camera,
    then the write and the last page."""
    session = app.session
    begin(app, cam, "tamis-a")
    app.start()
    app.wait_title("Tamis Camera")
    app.click("Next ->")
    app.wait(filters_page(2))
    shot(session, "tamis-filters")
    cam.fault("refuse", "1", "0x82")
    app.click("Write Filters")
    box(app, "Error", "Cannot write camera EEPROM")
    shot(session, "error-write", "Error")
    app.box_key("Error", "Return")

    app.wait(scan_page(1, next_enabled=True))
    app.click("Next ->")
    app.wait(filters_page(2))
    cam.unplug()
    app.wait_title(NO_CAMERA)
    app.click("Write Filters")
    box(app, "Error", "Camera not connected")
    shot(session, "error-not-connected", "Error")
    app.box_key("Error", "Return")

    # Plugged in again, the three pages through to the last one.
    app.wait(both(scan_page(1), title_is(NO_CAMERA)))
    cam.plug()
    app.click("Scan camera")
    app.wait(both(title_is("Tamis Camera"), button_is("Next ->", ENABLED)))
    app.click("Next ->")
    app.wait(filters_page(2))
    app.click("Write Filters")
    app.wait(button_is("Next ->", ENABLED))
    app.click("Next ->")
    app.wait(done_page(3))
    shot(session, "tamis-done")
    app.click("Finish")
    check_exit(app)


def different_camera(app, cam):
    """Another camera at the second scan: the first one's camera ID changed
    while it was unplugged (camera ID: block bytes 0 to 3, the block at 10)."""
    begin(app, cam, "selvo-kaf")
    app.start()
    app.wait(both(scan_page(1, next_enabled=True), title_is("Selvo KAF")))
    app.click("Next ->")
    app.wait(unplug_page(2))
    cam.unplug()
    app.wait_title(NO_CAMERA)
    edit_image(cam, 10, 0x01, 0x02, 0x03, 0x04)
    cam.plug()
    app.click("Scan camera")
    box(app, "Error", "This camera is different")
    shot(app.session, "error-different", "Error")
    app.box_key("Error", "Return")
    app.close()
    check_exit(app)


def unknown_driver(app, cam):
    """A camera whose model code (header bytes 3 and 4) names no driver pelwin
    knows: granting the write permission fails, and pelwin ends after the box."""
    begin(app, cam, "selvo-kaf")
    edit_image(cam, 3, 0x4C, 0x04)
    app.start()
    app.wait(both(scan_page(1, next_enabled=True), title_is("Selvo KAF")))
    app.click("Next ->")
    app.wait(unplug_page(2))
    cam.unplug()
    box(app, "Error", "Cannot write Windows Registry")
    shot(app.session, "error-registry", "Error")
    app.box_key("Error", "Return")
    check_exit(app)


def admin_box(app, cam):
    """The administrator box. Under Wine every account may open the service
    manager with full access, so pelwin's check never fails; Windows 3.1 as
    the version Wine reports to pelwin.exe (neither the 9x nor the NT
    platform) makes it fail, and pelwin.exe shows its own box at the first
    scan, which runs as the window is made: before the window shows."""
    begin(app, cam, "selvo-kaf")
    status = app.session.wine("reg", "add", APP_VERSION_KEY, "/v", "Version", "/d", "win31", "/f")
    check(status[0] == 0, f"reg add {APP_VERSION_KEY}: {status[2].strip()}")
    try:
        app.process = app.session.start([os.environ["WE_PELWIN"]], "pelwin.out")
        box(app, "Error", "Managing Selvo cameras requires administrative privileges.")
        shot(app.session, "error-admin", "Error")
        app.box_key("Error", "Return")
        check_exit(app)
    finally:
        app.session.wine("reg", "delete", APP_VERSION_KEY, "/f")


SCENES = (admin_box, no_camera, five_pages, tamis_errors, different_camera, unknown_driver)


def run(scene):
    """One scene in a test session of its own: the end of the program and
    the camera, and a failure's screenshot and files in E2E_ARTIFACTS."""
    name = f"screenshots.{scene.__name__}"
    harness.NAME = name
    session = port_wine.Session(name)
    app, cam = port_wine.Program(session), port_wine.Camera(session)
    try:
        scene(app, cam)
        app.end()
        cam.stop()
    except BaseException:
        session.keep_failure()
        app.end()
        cam.stop()
        raise
    finally:
        session.end()


def marlett(build):
    """Wine draws its caption buttons with Marlett; without it they are letters."""
    system = "/usr/share/wine/fonts/marlett.ttf"
    if os.path.isfile(system):
        return system
    cache = os.path.join(build, "screenshot-fonts")
    font = os.path.join(cache, "usr/share/wine/fonts/marlett.ttf")
    if not os.path.isfile(font):
        os.makedirs(cache, exist_ok=True)
        download = ["apt-get", "download", "fonts-wine"]
        fetched = subprocess.run(download, cwd=cache, capture_output=True)
        if fetched.returncode != 0:
            sys.exit("cannot fetch fonts-wine for the Marlett font (apt-get download)")
        package = glob.glob(os.path.join(cache, "fonts-wine_*.deb"))
        subprocess.run(["dpkg-deb", "-x", package[0], cache], check=True)
    return font


def main():
    global OUT
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("build", nargs="?", metavar="BUILD-DIR")
    default_out = os.path.join(ROOT, "docs", "screenshots", "windows")
    parser.add_argument("--out", default=default_out, metavar="DIR", help=f"default {default_out}")
    options = parser.parse_args()
    build = options.build
    if not build:
        build = os.path.join(ROOT, "build", "windows-cross")
        if os.path.isfile(os.path.join(ROOT, "build", "windows-i686", "app", "pelwin.exe")):
            build = os.path.join(ROOT, "build", "windows-i686")
    build = os.path.abspath(build)
    OUT = os.path.abspath(options.out)
    os.makedirs(OUT, exist_ok=True)
    camsim = port_wine.standin_camsim(build)
    needed = {
        "WE_PELWIN": os.path.join(build, "app", "pelwin.exe"),
        "WE_PROBE": os.path.join(build, "tests", "windows", "pelwin_probe.exe"),
        "WE_CAMSIM": camsim,
        "": os.path.join(os.path.dirname(camsim), "camsim-standin.sys"),
    }
    for file in needed.values():
        if not os.path.isfile(file):
            sys.exit(f"no {file}: build it first (see {sys.argv[0]} --help)")
    needed.pop("")
    os.environ.update(needed)
    os.environ["WE_BUILD"] = build
    os.environ["E2E_ARTIFACTS"] = os.path.join(build, "tests", "endtoend", "artifacts-screenshots")

    font = marlett(build)
    prefix_font = os.path.join(build, "wineprefix-standin/drive_c/windows/Fonts/marlett.ttf")
    harness.log(f"photographing {needed['WE_PELWIN']}; the camera {camsim}")
    status = 1
    try:
        if subprocess.run([SESSION, "start", build]).returncode != 0:
            return 1
        os.makedirs(os.path.dirname(prefix_font), exist_ok=True)
        shutil.copy(font, prefix_font)
        # The desktop that shows below an opened list: Windows' plain default
        # colour rather than the X server's black. (display reports failure
        # even when it has set the background.)
        attached = port_wine.Session("screenshots")
        attached.end()
        env = attached.env
        size = "x".join(harness.run(["xdotool", "getdisplaygeometry"], env)[1].split())
        desktop = ["display", "-display", env["DISPLAY"], "-window", "root", "-size", size]
        harness.run([*desktop, "xc:#3a6ea5"], env)
        for scene in SCENES:
            log(scene.__name__)
            run(scene)
        status = 0
    except harness.Failure as failure:
        log(f"FAIL: {failure}")
    finally:
        subprocess.run([SESSION, "stop", build])
        if os.path.exists(prefix_font):
            os.remove(prefix_font)
    if status == 0:
        log(f"pictures in {OUT}")
    return status


if __name__ == "__main__":
    sys.exit(main())
