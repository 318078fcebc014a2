#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The demonstration: builds the helper and zelvikctl, then drives the virtual
# printers of examples/virtual-printers.xml the way a user at a shell would:
# a listing, the identity block of a printer, PJL queries, a print job with
# its progress bar (a live bar on a terminal, one line per figure otherwise),
# and a job cancelled midway as Ctrl-C would.
#   scripts/demo.sh
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
bash "$here/scripts/setup.sh" "$build" >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
bus="$here/examples/virtual-printers.xml"
ctl() { "$build/src/ctl/zelvikctl" --simulated "$bus" "$@"; }
show() { printf '\n$ zelvikctl %s\n' "$*"; }

show list
ctl list
fast="$(ctl --json list | sed -n 's|.*"deviceURI": "\(.*ZLP100-0001\)".*|\1|p')"
# The LP-200 takes about 256 KiB a second: its jobs show their progress.
slow="$(ctl --json list | sed -n 's|.*"deviceURI": "\(.*ZLP200-0042\)".*|\1|p')"

show info "'$fast'"
ctl info "$fast"

show pjl "'$fast'" "'INFO ID'"
ctl pjl "$fast" 'INFO ID'

# The LP-200 answers in its own words, after a status report of its own.
show pjl "'$slow'" "'INFO PAGECOUNT'"
ctl pjl "$slow" 'INFO PAGECOUNT'

show active "'$fast'"
ctl active "$fast"
show active "'usb://Nobody/Nothing?serial=0'"
ctl active 'usb://Nobody/Nothing?serial=0' || echo "(exit status $?)"

head -c $((3 * 1024 * 1024)) /dev/urandom >"$work/job.prn"
show send "'$slow'" job.prn "   # 3 MiB"
ctl send "$slow" "$work/job.prn"

show send "'$slow'" job.prn "   # Ctrl-C after 4 seconds"
# The program itself in the background, not a shell around it: Ctrl-C
# reaches zelvikctl, which cancels through the helper.
"$build/src/ctl/zelvikctl" --simulated "$bus" send "$slow" "$work/job.prn" &
pid=$!
sleep 4
kill -INT "$pid"
status=0
wait "$pid" || status=$?
echo "(exit status $status: cancelled)"

echo
echo "The protocol underneath, by hand: README.md, 'The command file protocol'."
