#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Screenshots of zelvik-utility: builds (installing what is missing, as
# scripts/setup.sh does), then starts the window under Xvfb on a copy of the
# example bus and drives it through its states as the window test does,
# writing one PNG per state into FOLDER: the list, a printer's details, a
# printer plugged in, a file printed, a print in progress, a cancelled print.
#   scripts/screenshots.sh [FOLDER]     default: build/screenshots
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
out="$(mkdir -p "${1:-$build/screenshots}" && cd "${1:-$build/screenshots}" && pwd)"
bash "$here/scripts/setup.sh" "$build" >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

status=0
bash "$here/utility/tests/window-test.sh" "$build/utility/zelvik-utility" "$here" "$work/run" || status=$?
if [ "$status" -eq 77 ]; then
    echo "screenshots.sh: a tool is missing (above); run as root to install it" >&2
    exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
cp "$work"/run/*.png "$out"/
echo "== screenshots in $out:"
ls -1 "$out"/*.png
