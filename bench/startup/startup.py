#!/usr/bin/env python3
"""pelwin's start-up against a bare FLTK window, in one private X server and
in the same run.

Time from exec to the map of the first window, and peak RSS once it has
drawn. Rounds alternate between the programs, so that all see the same
machine; the first round only warms the caches. Two more floors show what
text costs: the bare window drawing one line (fonts loaded at the first
paint, after the map) and the same window measuring that line before it is
shown (fonts loaded before the map, as pelwin must to lay out its page).
pelwin starts against a camsim Selvo camera, so its first page includes a
real scan. The X server, roots and camsim are the end-to-end driver's
(tests/endtoend/port_linux.py).

Goals: pelwin's median time at most 1.2 times the bare window's, its median
peak RSS at most the bare window's plus 2 MiB. Exit status: 0 goals met,
1 missed, 2 could not measure."""

import argparse
import os
import re
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "endtoend"))

import harness  # noqa: E402
import port_linux  # noqa: E402

BARE = "bench/startup/pelwin_bare_window"
PROBE = "bench/startup/pelwin_startup_probe"
# Each run's name, its name as a floor, its program in the build and arguments.
RUNS = [
    ("bare FLTK window", "bare", [BARE]),
    ("bare window with one text", "bare with text", [BARE, "--text"]),
    ("... measured before shown", "measured text", [BARE, "--layout"]),
    ("pelwin", None, ["app/pelwin"]),
]


def measure(build, rounds, camera):
    """{name: [(milliseconds, KiB) of each round]}; fails when it cannot measure."""
    for program in ("app/pelwin", "sim/camsim", BARE, PROBE):
        harness.check(os.access(f"{build}/{program}", os.X_OK), f"{build}/{program} is not built")
    os.environ["CAMSIM"] = f"{build}/sim/camsim"
    session = port_linux.Session("bench-startup")
    try:
        # No snapshot: it would cost pelwin time that users do not pay.
        del session.env["PELWIN_FLTK_SNAPSHOT"]
        cam = port_linux.Camera(session)
        if camera:
            cam.serve("selvo-kaf")
        found = {name: [] for name, _, _ in RUNS}
        for round_ in range(rounds + 1):
            for name, _, (program, *arguments) in RUNS:
                command = [f"{build}/{PROBE}", f"{build}/{program}", *arguments]
                status, out, err = harness.run(command, session.env)
                m = re.fullmatch(r"map_ms=([0-9.]+) peak_rss_kib=([0-9]+)\n", out)
                harness.check(status == 0 and m, f"{' '.join(command)}: {err.strip()}")
                if round_ > 0:
                    found[name].append((float(m[1]), int(m[2])))
        cam.stop()
        return found
    finally:
        session.end()


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("build", nargs="?", default="build/linux", help="default build/linux")
    parser.add_argument("rounds", nargs="?", type=int, default=21, help="default 21")
    parser.add_argument("--no-camera", action="store_true", help="leave the device root empty")
    options = parser.parse_args()
    try:
        found = measure(os.path.join(ROOT, options.build), options.rounds, not options.no_camera)
    except harness.Failure as failure:
        print(f"startup: {failure}", file=sys.stderr)
        return 2

    # Medians decide; the fastest runs show the cost without the load of the
    # machine (with other work on it, the second CPU that reads the font
    # configuration in parallel may be busy).
    time = {n: statistics.median(t for t, _ in runs) for n, runs in found.items()}
    fastest = {n: min(t for t, _ in runs) for n, runs in found.items()}
    rss = {n: statistics.median(r for _, r in runs) / 1024 for n, runs in found.items()}
    camera = " (no camera)" if options.no_camera else " (pelwin scans a camsim Selvo camera)"
    print(f"start-up to the map of the first window, median of {options.rounds} rounds{camera}")
    print("                              map: median  fastest   peak RSS")
    for name, _, _ in RUNS:
        print(f"  {name:<26}  {time[name]:9.2f} ms {fastest[name]:6.2f} ms {rss[name]:6.2f} MiB")
    p = "pelwin"
    for floor, label, _ in RUNS[:3]:
        goals = "   (goals <= 1.20x, <= +2.00 MiB)" if label == "bare" else ""
        print(
            f"  pelwin / {label:<17}  {time[p] / time[floor]:9.2f}x"
            f"   {fastest[p] / fastest[floor]:6.2f}x  {rss[p] - rss[floor]:+6.2f} MiB{goals}"
        )
    bare = RUNS[0][0]
    met = time[p] / time[bare] <= 1.2 and rss[p] - rss[bare] <= 2.0
    print("  goals met" if met else "  goals MISSED")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
