#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every performance figure of the programs, measured side by side in one run
# and printed as ratios (a few minutes). Builds what it needs first.
#   bench/run.sh BUILD_DIR [--full]
# --full sends the whole 1 GiB file for its peak memory (about 10 more minutes).
set -euo pipefail
build="${1:?usage: bench/run.sh BUILD_DIR [--full]}"
shift
build="$(cd "$build" && pwd)"

targets=(zelvik zelvik-sim zelvikctl zelvik_figures zelvik_watch_figures cancel_baseline)
emulated=no
known_targets="$(cmake --build "$build" --target help 2>/dev/null || true)"
if grep -q zelvik_emulated_listing <<<"$known_targets"; then
    targets+=(zelvik_emulated_listing)
    emulated=yes
fi
cmake --build "$build" --target "${targets[@]}" -j2 >/dev/null

echo "zelvik figures: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/zelvik_figures" "$@" "$build/src/app/zelvik" "$build/src/app/zelvik-sim" \
    "$build/bench/cancel_baseline" "$build/src/ctl/zelvikctl"

"$build/bench/zelvik_watch_figures" "$build/src/app/zelvik" "$build/src/app/zelvik-sim" "$build/src/ctl/zelvikctl"

echo
echo "== processCancel, instructions executed from exec to exit (callgrind: the same under any load)"
if command -v valgrind >/dev/null; then
    folder="$(mktemp -d)"
    status="$folder/status.xml"
    instructions() {
        printf '<?xml version="1.0" encoding="UTF-8"?>\n<commandBody><command>processCancel</command><statusFilePath>%s</statusFilePath></commandBody>\n' \
            "$status" >"$folder/command.xml"
        rm -f "$status"
        valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 | sed -n 's/.*Collected : //p'
    }
    baseline="$(instructions "$build/bench/cancel_baseline" "$folder/command.xml" "$status")"
    zelvik="$(instructions "$build/src/app/zelvik" "$folder/command.xml")"
    sim="$(ZELVIK_SIMULATED_BUS=/dev/null instructions "$build/src/app/zelvik-sim" "$folder/command.xml")"
    rm -rf "$folder"
    awk -v b="$baseline" -v z="$zelvik" -v s="$sim" 'BEGIN {
        printf "  C program: %d   zelvik: %d (ratio %.2f)   zelvik-sim: %d (ratio %.2f)\n", b, z, z / b, s, s / b }'
else
    echo "  skipped (valgrind not installed)"
fi

echo
echo "== getPrinterList, start to exit (median of 20), emulated kernel printers behind hubs (umockdev)"
if [ "$emulated" = yes ]; then
    "$build/bench/zelvik_emulated_listing" "$build/src/app/zelvik"
else
    echo "  skipped (not built: it needs umockdev and the tests configured)"
fi
echo
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
