#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Status of every printer: online, status code and display, every few seconds.

    examples/monitor.py                         the attached printers
    examples/monitor.py --simulated BUS.xml     virtual printers (zelvik-sim)
    examples/monitor.py --once                  one round, then quit

Every printer is asked at once (one job each); Ctrl-C quits.
"""

import argparse
import sys
import time

import zelvik


def status(job: zelvik.Job) -> tuple[str, ...]:
    """Online, status code and display, from the block that answers INFO STATUS."""
    try:
        answer = job.wait().answer
    except zelvik.Error as error:
        return "-", f"code {error.code}", str(error)
    if answer is None:
        return "-", "-", "cancelled"
    return tuple(answer.value("INFO STATUS", key) or "?" for key in ("ONLINE", "CODE", "DISPLAY"))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--simulated", metavar="BUS", help="a bus file of virtual printers")
    parser.add_argument("--interval", type=float, default=5, help="seconds between rounds")
    parser.add_argument("--once", action="store_true", help="one round, then quit")
    args = parser.parse_args()
    helper = zelvik.Helper.simulated(args.simulated) if args.simulated else zelvik.Helper.installed()
    try:
        while True:
            printers = zelvik.list_printers(helper=helper)
            jobs = [zelvik.start_pjl(p.uri, ["INFO STATUS"], timeout=3, helper=helper) for p in printers]
            print(time.strftime("%H:%M:%S"), f"{len(printers)} printer(s)")
            for printer, job in zip(printers, jobs):
                with job:
                    online, code, display = status(job)
                print(f"  {printer.model:<20} {printer.serial:<14} {online:<6} {code:<8} {display}")
            if args.once:
                return 0
            time.sleep(args.interval)
    except KeyboardInterrupt:
        return 130
    except zelvik.Error as error:
        print(f"monitor: {error} (helper code {error.code})", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
