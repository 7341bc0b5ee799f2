#!/usr/bin/env python3
"""One row of bench/eeprom_bench.sh's table from Google Benchmark's JSON output:
the medians of the four benchmarks in ns per command, wall and CPU time, and
their ratios against the bare floor.

    eeprom_bench_row.py JSON-FILE RUN"""

import json
import sys

NAMES = ["BareFloor", "ToolToBareResponder", "BareClientToCamsim", "ToolToCamsim"]


def main():
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0 if sys.argv[1:2] in (["-h"], ["--help"]) else 2
    with open(sys.argv[1]) as f:
        benchmarks = json.load(f)["benchmarks"]
    medians = {
        b["run_name"].split("/")[0]: b for b in benchmarks if b.get("aggregate_name") == "median"
    }
    wall = [medians[n]["real_time"] for n in NAMES]
    cpu = [medians[n]["cpu_time"] for n in NAMES]
    print(
        f"{sys.argv[2]:<3} | "
        + " ".join(f"{t:6.0f}" for t in wall)
        + f" | {wall[1] / wall[0]:9.3f} {wall[2] / wall[0]:11.3f} {wall[3] / wall[0]:9.3f} | "
        + " ".join(f"{t:6.0f}" for t in cpu)
        + f" | {cpu[1] / cpu[0]:9.3f} {cpu[2] / cpu[0]:11.3f}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
