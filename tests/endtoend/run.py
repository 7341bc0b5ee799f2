#!/usr/bin/env python3
"""Runs one end-to-end scenario on one port.

    run.py linux|wine SCENARIO [ARGUMENT] [--name NAME]

linux: pelwin's FLTK window under a private Xvfb against camsim
(port_linux.py); wine: pelwin.exe under Wine against camsim.exe and the
driver stand-in, in the session of wine_session.sh (port_wine.py).
The scenarios are in scenarios.py, the Linux port's own in window.py, the
fault matrix in fault_matrix.py, pelwin-report's cases in report.py (the
Report of the port module instead of pelwin, no X server on Linux). Exits 0
when every check held, 1 when one did not (or anything else went wrong), 2 on
a usage error. A failure keeps a
screenshot and the logs under $E2E_ARTIFACTS/NAME."""

import argparse
import os
import signal
import sys
import traceback

# The modules beside this file, and no byte-code caches in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fault_matrix  # noqa: E402
import harness  # noqa: E402
import report  # noqa: E402
import scenarios  # noqa: E402
import window  # noqa: E402

SCENARIOS = {
    **scenarios.SCENARIOS,
    **window.SCENARIOS,
    **fault_matrix.SCENARIOS,
    **report.SCENARIOS,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("port", choices=("linux", "wine"))
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    parser.add_argument("argument", nargs="*")
    parser.add_argument("--name", help="the test's name (logs, artifacts)")
    options = parser.parse_args()
    if options.scenario in window.SCENARIOS and options.port != "linux":
        parser.error(f"{options.scenario} is the Linux port's own (window.py)")
    if options.port == "linux":
        import port_linux as port
    else:
        import port_wine as port
    # A test stopped from outside (CTest's time limit) still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    name = options.name or ".".join([options.scenario, *options.argument])
    harness.NAME = name

    status = 1
    session = None
    app = None
    cam = None
    try:
        # pelwin-report's cases drive that program, which has no window.
        reporting = options.scenario in report.SCENARIOS
        session = port.Session(name, display=not reporting)
        app = port.Report(session) if reporting else port.Program(session)
        cam = port.Camera(session)
        SCENARIOS[options.scenario](app, cam, *options.argument)
        status = 0
    except harness.Failure as failure:
        harness.log(f"FAIL: {failure}")
    except Exception:  # anything else is a failure too, with its trace
        traceback.print_exc()
    finally:
        if session is not None:
            if status != 0:
                session.keep_failure()
            try:
                # pelwin first, then the camera: a camera server that does
                # not end cleanly fails even a test that passed so far.
                if app is not None:
                    app.end()
                if cam is not None:
                    cam.stop()
            except Exception as failure:  # noqa: BLE001 a failure, whatever it is
                harness.log(f"FAIL: {failure}")
                if status == 0:
                    session.keep_failure()
                status = 1
            session.end()
    harness.log("ok" if status == 0 else "failed")
    return status


if __name__ == "__main__":
    sys.exit(main())
