# SPDX-License-Identifier: Apache-2.0
"""zelvik-utility's command line."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

import zelvik

from . import __version__


def _helper(args: argparse.Namespace) -> zelvik.Helper:
    if args.simulated is not None:
        return zelvik.Helper.simulated(args.simulated, args.helper)
    if args.helper is not None:
        return zelvik.Helper(args.helper)
    return zelvik.Helper.installed()


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="zelvik-utility",
        description="The vendor's USB printers in a window: their state, print jobs with their progress, "
        "a connection test.",
    )
    parser.add_argument("--simulated", metavar="BUS", help="virtual printers: run zelvik-sim on this bus file")
    parser.add_argument("--helper", metavar="PATH", help="the helper program to run (with --simulated, a zelvik-sim)")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    args = parser.parse_args(argv)
    if args.simulated is not None:
        if not os.path.isfile(args.simulated):
            parser.error(f"--simulated: no such bus file: {args.simulated}")
        args.simulated = os.path.abspath(args.simulated)
    try:
        helper = _helper(args)
    except (ImportError, OSError, zelvik.Error) as error:
        # The client library missing (ImportError from its loader) or refusing.
        print(f"zelvik-utility: the printers cannot be reached: {error}; install libzelvik-client0 and zelvik",
              file=sys.stderr)
        return 1

    from .application import Application  # GTK only once the command line is right

    application = Application(helper, args.simulated)
    status = application.run(sys.argv[:1])
    return status or application.exit_status
