#!/usr/bin/env bash
# The demonstration: builds zelvik-sim and runs each command the way a front
# end does, against the virtual printers of examples/virtual-printers.xml,
# printing the files the program leaves.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build"
bash "$here/scripts/setup.sh" "$build" >/dev/null
program="$build/src/app/zelvik-sim"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export ZELVIK_SIMULATED_BUS="$here/examples/virtual-printers.xml"

# Writes a command file from name/value pairs and runs the program on it.
run() {
    local command="$1"; shift
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        echo '<commandBody>'
        echo "  <command>$command</command>"
        echo "  <statusFilePath>$work/status.xml</statusFilePath>"
        while [ $# -gt 1 ]; do echo "  <$1>$2</$1>"; shift 2; done
        echo '</commandBody>'
    } >"$work/command.xml"
    rm -f "$work/status.xml"
    "$program" "$work/command.xml"
}
show() { echo "--- $1"; cat "$1"; echo; }

echo "== processCancel: the smallest round trip"
run processCancel
show "$work/status.xml"

echo "== getPrinterList"
run getPrinterList printerListFilePath "$work/printers.xml" printerListMax -1
show "$work/status.xml"
show "$work/printers.xml"
uri="$(sed -n 's:.*<deviceURI>\(.*\)</deviceURI>.*:\1:p' "$work/printers.xml" | head -n 1)"
# The second printer of the example bus takes about 256 KiB a second.
slow="$(sed -n 's:.*<deviceURI>\(.*\)</deviceURI>.*:\1:p' "$work/printers.xml" | sed -n 2p)"

echo "== sendPJLCommand @PJL INFO ID to $uri"
printf '\033%%-12345X@PJL INFO ID\r\n' >"$work/query.pjl"
run sendPJLCommand deviceURI "$uri" outputFilePath "$work/query.pjl" \
    responseFilePath "$work/answer.bin" timeOut 5
show "$work/status.xml"
echo "--- $work/answer.bin (escaped)"; od -c "$work/answer.bin" | sed 's/^/    /'

echo "== isMachineActive"
run isMachineActive deviceURI "$uri" responseFilePath "$work/active.txt"
show "$work/active.txt"
run isMachineActive deviceURI "usb://Nobody/Nothing?serial=0" responseFilePath "$work/active.txt"
show "$work/active.txt"

target="${slow:-$uri}"
echo "== dataOutput of 1 MiB to $target, progress as the front end sees it"
head -c 1048576 /dev/urandom >"$work/print.bin"
run dataOutput deviceURI "$target" outputFilePath "$work/print.bin" \
    responseFilePath "$work/progress.txt" &
pid=$!
last=""
while kill -0 "$pid" 2>/dev/null; do
    now="$(cat "$work/progress.txt" 2>/dev/null || true)"
    if [ -n "$now" ] && [ "$now" != "$last" ]; then echo "    progress: $now%"; last="$now"; fi
    sleep 0.1
done
wait "$pid" || true
echo "    final: $(cat "$work/progress.txt")"
show "$work/status.xml"

echo "== dataOutput cancelled midway (a processCancel file, then a second launch)"
rm -f "$work/progress.txt"
run dataOutput deviceURI "$target" outputFilePath "$work/print.bin" \
    responseFilePath "$work/progress.txt" &
pid=$!
sleep 2
cat >"$work/command.xml" <<XML
<commandBody><command>processCancel</command><statusFilePath>$work/cancel-status.xml</statusFilePath></commandBody>
XML
"$program" "$work/command.xml"   # finds the running instance and hands it the reopen
wait "$pid" || true
echo "    progress kept: $(cat "$work/progress.txt" 2>/dev/null || echo none)"
show "$work/status.xml"
