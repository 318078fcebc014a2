#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build into a temporary DESTDIR under a prefix of its own, then
# checks that the installed tree works on its own: the installed zelvik-sim
# lists and feeds the printers of the installed example bus, and no installed
# file refers back into the source or build tree.
#   installed-tree-test.sh BUILD_DIR SOURCE_DIR WORK_DIR UDEV_RULES_DIR MAN(ON|OFF) SANITIZED(ON|OFF)
# A sanitized build records its source locations in the code itself, for its
# reports; it is never shipped, so its tree is not checked for build paths.
set -euo pipefail
build="$1" source="$2" work="$3" rules_dir="$4" man="$5" sanitized="${6:-OFF}"
prefix=/opt/zelvik-install-test
root="$work/root"
installed="$root$prefix"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work/job"
# Stripped, as a package is: debug information names the folders the objects
# were compiled in, by design.
DESTDIR="$root" cmake --install "$build" --prefix "$prefix" --strip >"$work/install.log"

expected=(libexec/zelvik/zelvik bin/zelvik-sim share/zelvik/virtual-printers.xml)
[ "$man" = ON ] && expected+=(share/man/man8/zelvik.8.gz share/man/man1/zelvik-sim.1.gz)
for file in "${expected[@]}"; do
    [ -f "$installed/$file" ] || fail "not installed: $prefix/$file"
done
[ -x "$installed/libexec/zelvik/zelvik" ] || fail "zelvik is not executable"
# udev reads rules from its own folders only, whatever the prefix.
[ -f "$root$rules_dir/60-zelvik.rules" ] || fail "udev rule not in $rules_dir"

# Manual pages as Debian wants them: gzip without a time stamp or name (the
# header's flags byte 0, time stamp bytes 0), and readable.
if [ "$man" = ON ]; then
    for page in "$installed"/share/man/man*/*.gz; do
        header="$(od -An -tx1 -N8 "$page" | tr -d ' \n')"
        [ "${header:6:10}" = 0000000000 ] || fail "$page carries a name or time stamp ($header)"
        zcat "$page" | grep -q '^\.TH ' || fail "$page is not a manual page"
    done
fi

# The installed simulator on the installed example bus.
bus="$installed/share/zelvik/virtual-printers.xml"
run() { ZELVIK_SIMULATED_BUS="$bus" timeout 60 "$installed/bin/zelvik-sim" "$work/job/command.xml"; }
status_of() { sed -n 's:.*<errorCode>\(.*\)</errorCode>.*:\1:p' "$work/job/status.xml"; }

cat >"$work/job/command.xml" <<END
<?xml version="1.0" encoding="UTF-8"?>
<commandBody>
  <command>getPrinterList</command>
  <statusFilePath>$work/job/status.xml</statusFilePath>
  <printerListFilePath>$work/job/printers.xml</printerListFilePath>
  <printerListMax>-1</printerListMax>
</commandBody>
END
run
[ "$(status_of)" = 0 ] || fail "getPrinterList status: $(status_of)"
listed="$(grep -c '<deviceInformation>' "$work/job/printers.xml" || true)"
[ "$listed" = 2 ] || fail "getPrinterList listed $listed printers, the example bus has 2 listable ones"
uri="$(sed -n 's:.*<deviceURI>\(.*ZLP100-0001\)</deviceURI>.*:\1:p' "$work/job/printers.xml")"
[ -n "$uri" ] || fail "the LP-100 is not in the printer list"

rm -f "$work/job/status.xml"
head -c 10000 /dev/zero >"$work/job/data.prn"
cat >"$work/job/command.xml" <<END
<?xml version="1.0" encoding="UTF-8"?>
<commandBody>
  <command>dataOutput</command>
  <statusFilePath>$work/job/status.xml</statusFilePath>
  <deviceURI>$uri</deviceURI>
  <outputFilePath>$work/job/data.prn</outputFilePath>
  <responseFilePath>$work/job/progress.xml</responseFilePath>
</commandBody>
END
run
[ "$(status_of)" = 0 ] || fail "dataOutput status: $(status_of)"
grep -q '100' "$work/job/progress.xml" || fail "dataOutput did not end at 100%"

# Nothing installed may depend on the trees it was built from.
[ "$sanitized" = ON ] || for tree in "$build" "$source"; do
    if found="$(grep -rlF -- "$tree" "$root")"; then
        fail "installed files refer to $tree: $found"
    fi
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "installed tree under $prefix works"
