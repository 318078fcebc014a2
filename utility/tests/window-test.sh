#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The window on a copy of the example bus, under Xvfb and a session bus of
# its own, driven through its actions by scenario.py: the printers listed, a
# printer's state, a printer plugged in, a small file printed to 100 %, a
# large one cancelled midway, the printer unplugged again; a PNG of the
# screen at each state lands in OUTPUT_DIR.
#   window-test.sh LAUNCHER SOURCE_DIR OUTPUT_DIR
# Exit status 77 (skipped) when a tool it needs is missing.
set -euo pipefail
launcher="$1" source="$2" out="$3"

for tool in xvfb-run dbus-run-session import identify; do
    command -v "$tool" >/dev/null || { echo "skipped: no $tool (Debian: xvfb, dbus, imagemagick)"; exit 77; }
done
/usr/bin/python3 -c 'import gi; gi.require_version("Gtk", "4.0"); gi.require_version("Adw", "1")' 2>/dev/null ||
    { echo "skipped: no GTK 4 or libadwaita for Python (Debian: python3-gi, gir1.2-gtk-4.0, gir1.2-adw-1)"; exit 77; }

rm -rf "$out"
mkdir -p "$out/home"
install -d -m 0700 "$out/runtime"
cp "$source/examples/virtual-printers.xml" "$out/bus.xml"

# A home and runtime folder of its own: nothing of the user's is read or
# left behind. The screen is the size the README's screenshot shows.
status=0
env HOME="$out/home" XDG_RUNTIME_DIR="$out/runtime" XDG_CONFIG_HOME="$out/home/.config" \
    XDG_CACHE_HOME="$out/home/.cache" XDG_DATA_HOME="$out/home/.local/share" \
    ZELVIK_UTILITY_SCENARIO="$source/utility/tests/scenario.py" ZELVIK_UTILITY_SHOTS="$out" \
    timeout 100 dbus-run-session -- xvfb-run -a -s "-screen 0 900x640x24" \
    "$launcher" --simulated "$out/bus.xml" >"$out/window.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$out/window.log" >&2
    echo "FAIL: the window's scenario ended with status $status" >&2
    exit 1
fi

# Each state on screen: the whole screen, and a window drawn on it (an
# empty screen, or a window that drew nothing, has a handful of colours).
failures=0
for state in list details plugged-in printed printing cancelled; do
    shot=("$out"/*-"$state".png)
    if [ ! -f "${shot[0]}" ]; then
        echo "FAIL: no screenshot of $state" >&2
        failures=$((failures + 1))
        continue
    fi
    read -r width height colours < <(identify -format '%w %h %k\n' "${shot[0]}")
    if [ "$width x $height" != "900 x 640" ] || [ "$colours" -lt 64 ]; then
        echo "FAIL: ${shot[0]}: ${width}x${height}, $colours colours" >&2
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || exit 1
echo "the window went through every state; screenshots in $out"
