#!/usr/bin/env python3
"""Under Wine: pelwin's EEPROM read command against a bare WriteFile/ReadFile
pair of the same sizes on the same pipes of the camera stand-in, command by
command in one process (wine_eeprom_bench.exe), several runs in a row.

Runs bench/wine/wine_eeprom_bench.exe of BENCH-BUILD-DIR (default
build/windows-i686, the 32-bit program) against a Selvo KAF camera served by
camsim.exe behind the driver stand-in of STANDIN-BUILD-DIR (default
build/windows-cross; the stand-in is a 64-bit driver, whatever the program's
architecture; a 32-bit tree serves with the camsim.exe of the x86-64 tree its
cache names), in that tree's session of the Wine end-to-end tests: a running
one is used and left running, else one is started here and stopped at the end.

Prints each run's median per-pair ratio (with its two median times), then the
median and the spread (largest minus smallest) of the runs' ratios.
Exit status: 0 every run at most 1.10 and a spread of at most 0.10; 1 the goal
missed or the runs too far apart; 2 nothing measured (missing build, no camera)."""

import argparse
import os
import struct
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "endtoend"))

import harness  # noqa: E402
import port_wine  # noqa: E402

GOAL = 1.10
SPREAD = 0.10
SESSION = os.path.join(ROOT, "tests", "endtoend", "wine_session.sh")


class Cannot(Exception):
    """Nothing can be measured."""


def architecture(exe):
    """The PE header's machine field: which of the two the run measured."""
    with open(exe, "rb") as f:
        data = f.read(4096)
    header = struct.unpack_from("<I", data, 0x3C)[0]
    machine = struct.unpack_from("<H", data, header + 4)[0]
    return {0x14C: "i686, 32-bit", 0x8664: "x86-64"}.get(machine, f"machine 0x{machine:x}")


def wineserver_of(prefix):
    """The prefix's server: the one whose directory is named after the
    prefix's device and inode."""
    st = os.stat(prefix)
    server_dir = f"server-{st.st_dev:x}-{st.st_ino:x}"
    found = subprocess.run(["pgrep", "-x", "wineserver|wineserver64"], capture_output=True)
    for pid in found.stdout.decode().split():
        try:
            if os.readlink(f"/proc/{pid}/cwd").endswith(f"/{server_dir}"):
                return pid
        except OSError:
            continue
    raise Cannot(f"no wineserver for {prefix}")


def cpus_allowed(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Cpus_allowed_list:"):
                return line.split(":", 1)[1].strip()
    return None


def taskset(*arguments):
    done = subprocess.run(["taskset", *arguments], capture_output=True, text=True)
    if done.returncode != 0:
        raise Cannot(f"taskset {' '.join(arguments)}: {done.stderr.strip()}")
    return done.stdout.strip()


def measure(options, bench_exe, standin):
    session = port_wine.Session("bench-eeprom")
    cam = port_wine.Camera(session)
    server = mask = None
    try:
        # One CPU for the whole round trip (bench -> wineserver -> camsim.exe
        # -> wineserver -> bench): every hand-over is then a switch on that
        # CPU, where an unpinned run wakes the other CPU at some hand-overs and
        # not at others, and the round trip jumps between 80 and 500 us from
        # command to command.
        with open("/proc/loadavg") as f:
            load_before = " ".join(f.read().split()[:3])
        cpu = options.cpu
        if cpu == "none":
            layout = "unpinned"
        else:
            server = wineserver_of(session.env["WINEPREFIX"])
            mask = taskset("-p", server).split(": ")[-1]
            taskset("-a", "-p", "-c", cpu, server)
            # camsim.exe and the bench start from this process and inherit its CPU.
            os.sched_setaffinity(0, {int(cpu)})
            layout = f"bench, camsim.exe and wineserver (pid {server}) on CPU {cpu}"
            layout += f" of {os.cpu_count()}"
        cam.serve("selvo-kaf")
        if cpu != "none":
            for pid in (cam.server.pid, server):
                allowed = cpus_allowed(pid)
                if allowed != cpu:
                    raise Cannot(f"process {pid} runs on CPUs {allowed}, not on CPU {cpu} alone")

        print(f"program: {bench_exe} ({architecture(bench_exe)})")
        print(f"layout: {layout}")
        ratios = []
        for run in range(1, options.runs + 1):
            status, out, err = session.wine(bench_exe, "--pairs", str(options.pairs))
            words = out.split()
            # pairs N product US bare US ratio R
            if status != 0 or len(words) != 8 or words[1] != str(options.pairs):
                raise Cannot(f"unexpected bench output (status {status}): {out.strip()}{err}")
            product, bare, ratio = words[3], words[5], float(words[7])
            print(
                f"run {run}: ratio {words[7]} (product {product} us, bare {bare} us,"
                f" median of {options.pairs} pairs)"
            )
            ratios.append(ratio)
        with open("/proc/loadavg") as f:
            print(f"load average: {load_before} before, {' '.join(f.read().split()[:3])} after")
    finally:
        # A session that goes on running gets its server back as it was.
        if mask is not None and not options.own_session:
            subprocess.run(["taskset", "-a", "-p", mask, server], capture_output=True)
        try:
            cam.stop()
        finally:
            session.end()

    ratios.sort()
    middle = len(ratios) // 2
    median = ratios[middle] if len(ratios) % 2 else (ratios[middle - 1] + ratios[middle]) / 2
    spread = ratios[-1] - ratios[0]
    print(
        f"ratios: median {median:.3f}, from {ratios[0]:.3f} to {ratios[-1]:.3f},"
        f" spread {spread:.3f}"
    )
    goal = ratios[-1] <= GOAL
    agree = spread <= SPREAD
    print(
        f"goal (every run at most {GOAL:.2f}): {'met' if goal else 'MISSED'};"
        f" spread at most {SPREAD:.2f}: {'yes' if agree else 'NO'}"
    )
    return 0 if goal and agree else 1


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n\n", 1)[1],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("bench_build", nargs="?", default="build/windows-i686",
                        metavar="BENCH-BUILD-DIR")
    parser.add_argument("standin_build", nargs="?", default="build/windows-cross",
                        metavar="STANDIN-BUILD-DIR")
    parser.add_argument("--runs", type=int, default=5, help="runs of the bench, one process each")
    parser.add_argument("--pairs", type=int, default=4000, help="product/bare pairs per run")
    cpus = os.cpu_count()
    parser.add_argument(
        "--cpu",
        default=str(cpus - 1),
        help='the CPU that the bench, camsim.exe and the wineserver share (default: the last'
        ' one); "none" leaves them unpinned',
    )
    options = parser.parse_args()
    if options.runs < 1 or options.pairs < 1:
        parser.error("--runs and --pairs take a number from 1")
    if options.cpu != "none" and not (options.cpu.isdigit() and int(options.cpu) < cpus):
        parser.error(f'--cpu takes a CPU from 0 to {cpus - 1} or "none"')

    os.chdir(ROOT)
    bench_exe = os.path.abspath(
        os.path.join(options.bench_build, "bench", "wine", "wine_eeprom_bench.exe")
    )
    standin = os.path.abspath(options.standin_build)
    camsim = port_wine.standin_camsim(standin)
    driver = os.path.join(os.path.dirname(camsim), "camsim-standin.sys")
    needed = [
        (bench_exe, "it", "windows-i686 --target wine_eeprom_bench"),
        (camsim, "the 64-bit camera server and stand-in", "windows-cross --target camsim_windows"),
        (driver, "the 64-bit camera server and stand-in", "windows-cross --target camsim_windows"),
    ]
    for file, what, build in needed:
        if not os.path.isfile(file):
            print(
                f"eeprom.py: no {file}: build {what} first (cmake --build --preset {build})",
                file=sys.stderr,
            )
            return 2
    os.environ["WE_BUILD"] = standin
    os.environ["WE_CAMSIM"] = camsim
    harness.NAME = "bench-eeprom"

    options.own_session = not os.path.isfile(os.path.join(standin, "tests/endtoend/session/env"))
    if options.own_session:
        started = subprocess.run([SESSION, "start", standin], stdout=subprocess.DEVNULL)
        if started.returncode != 0:
            return 2
    try:
        return measure(options, bench_exe, standin)
    except (Cannot, harness.Failure) as why:
        harness.log(f"cannot measure: {why}")
        return 2
    finally:
        if options.own_session:
            subprocess.run([SESSION, "stop", standin], stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    sys.exit(main())
