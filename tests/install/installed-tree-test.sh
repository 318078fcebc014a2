#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build into a temporary DESTDIR under a prefix of its own, then
# checks that the installed tree works on its own: the installed zelvikctl
# and a front end built against the installed client library drive the
# installed zelvik-sim on the installed example bus, and no installed file
# refers back into the source or build tree.
#   installed-tree-test.sh BUILD_DIR SOURCE_DIR WORK_DIR UDEV_RULES_DIR MAN(ON|OFF) SANITIZERS(OFF|list)
# A sanitized build records its source locations in the code itself, for its
# reports; it is never shipped, so its tree is not checked for build paths.
set -euo pipefail
build="$1" source="$2" work="$3" rules_dir="$4" man="$5" sanitizers="${6:-OFF}"
sanitized=OFF sanitize_flags=()
if [ "$sanitizers" != OFF ]; then sanitized=ON sanitize_flags=(-fsanitize="$sanitizers"); fi
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

expected=(libexec/zelvik/zelvik bin/zelvik-sim bin/zelvikctl share/zelvik/virtual-printers.xml
          include/zelvik/client.h lib/libzelvik-client.a lib/pkgconfig/zelvik-client.pc)
[ "$man" = ON ] && expected+=(share/man/man8/zelvik.8.gz share/man/man1/zelvik-sim.1.gz share/man/man1/zelvikctl.1.gz)
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

# The installed zelvikctl drives the installed simulator on the installed
# example bus.
bus="$installed/share/zelvik/virtual-printers.xml"
ctl() { timeout 60 "$installed/bin/zelvikctl" --helper "$installed/bin/zelvik-sim" --simulated "$bus" "$@"; }
listed="$(ctl list | grep -c '^Zelvik LP-' || true)"
[ "$listed" = 2 ] || fail "zelvikctl list shows $listed printers, the example bus has 2 listable ones"
uri="$(ctl --json list | sed -n 's|.*"deviceURI": "\(.*ZLP100-0001\)".*|\1|p')"
[ -n "$uri" ] || fail "the LP-100 is not in the printer list"
# Whole outputs first: grep -q would end the pipe early.
info="$(ctl info "$uri")"
grep -q '^page count: *1234$' <<<"$info" || fail "zelvikctl info does not show the page count: $info"
head -c 100000 /dev/zero >"$work/job/data.prn"
sent="$(ctl send "$uri" "$work/job/data.prn")"
grep -q '^100%$' <<<"$sent" || fail "zelvikctl send did not end at 100%: $sent"
[ "$(ctl active "$uri")" = True ] || fail "zelvikctl active does not say True"

# A front end built against the installed library alone, through its
# pkg-config file.
pc() { PKG_CONFIG_PATH="$installed/lib/pkgconfig" pkg-config --define-variable=prefix="$installed" "$@" zelvik-client; }
if c++ -std=c++20 "${sanitize_flags[@]}" -o "$work/frontend" "$source/examples/frontend.cpp" $(pc --cflags --libs) 2>"$work/frontend.log"; then
    out="$(ZELVIK_HELPER="$installed/bin/zelvik-sim" timeout 60 "$work/frontend" "$bus" "$work/job/data.prn")" ||
        fail "the example front end failed: $out"
    grep -q '^printed$' <<<"$out" || fail "the example front end did not print: $out"
else
    fail "the example front end does not build against the installed library: $(cat "$work/frontend.log")"
fi

# Nothing installed may depend on the trees it was built from.
[ "$sanitized" = ON ] || for tree in "$build" "$source"; do
    if found="$(grep -rlF -- "$tree" "$root")"; then
        fail "installed files refer to $tree: $found"
    fi
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "installed tree under $prefix works"
