#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the build twice, each time into a temporary DESTDIR under a prefix
# of its own, then checks that each installed tree works on its own, moved
# from the prefix the build was configured for: the installed zelvikctl, a C++
# and a C front end built through the installed pkg-config files, and the
# Python package installed by pip find the installed zelvik-sim and drive it
# on the installed example bus, the utility's launcher finds its modules, and
# no installed file refers back into the source or build tree.
#   installed-tree-test.sh BUILD_DIR SOURCE_DIR WORK_DIR UDEV_RULES_DIR MAN(ON|OFF) SANITIZERS(OFF|list)
# A sanitized build records its source locations in the code itself, for its
# reports; it is never shipped, so its tree is not checked for build paths.
set -euo pipefail
build="$1" source="$2" work="$3" rules_dir="$4" man="$5" sanitizers="${6:-OFF}"
sanitized=OFF sanitize_flags=()
# The utility is installed when the build has its folder (ZELVIK_BUILD_UTILITY).
utility=OFF
[ -d "$build/utility" ] && utility=ON
if [ "$sanitizers" != OFF ]; then sanitized=ON sanitize_flags=(-fsanitize="$sanitizers"); fi
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work/job"
head -c 100000 /dev/zero >"$work/job/data.prn"

# Installs under PREFIX, staged in ROOT, and checks the tree there. The
# build was configured for another prefix: what works here works wherever
# an installation is moved.
#   check_installed ROOT PREFIX
check_installed() {
    local root="$1" prefix="$2"
    local installed="$root$prefix"
    # Stripped, as a package is: debug information names the folders the
    # objects were compiled in, by design.
    DESTDIR="$root" cmake --install "$build" --prefix "$prefix" --strip >"$work/install.log"

    local expected=(libexec/zelvik/zelvik bin/zelvik-sim bin/zelvikctl share/zelvik/virtual-printers.xml
                    include/zelvik/zelvik.h lib/libzelvik-client.so lib/libzelvik-client.so.0
                    lib/pkgconfig/zelvik-client.pc include/zelvik/client.h include/zelvik/pjl.h include/zelvik/recording.h
                    lib/libzelvik-client++.a lib/pkgconfig/zelvik-client++.pc)
    [ "$man" = ON ] && expected+=(share/man/man8/zelvik.8.gz share/man/man1/zelvik-sim.1.gz share/man/man1/zelvikctl.1.gz)
    if [ "$utility" = ON ]; then
        expected+=(bin/zelvik-utility share/zelvik-utility/zelvik_utility/window.ui
                   share/zelvik-utility/zelvik_utility/window.py share/applications/org.zelvik.Utility.desktop
                   share/metainfo/org.zelvik.Utility.metainfo.xml share/icons/hicolor/scalable/apps/org.zelvik.Utility.svg)
        [ "$man" = ON ] && expected+=(share/man/man1/zelvik-utility.1.gz)
    fi
    for file in "${expected[@]}"; do
        [ -f "$installed/$file" ] || fail "not installed: $prefix/$file"
    done
    [ -x "$installed/libexec/zelvik/zelvik" ] || fail "zelvik is not executable"
    # udev reads rules from its own folders only, whatever the prefix.
    [ -f "$root$rules_dir/60-zelvik.rules" ] || fail "udev rule not in $rules_dir"

    # Manual pages as Debian wants them: gzip without a time stamp or name
    # (the header's flags byte 0, time stamp bytes 0), and readable.
    if [ "$man" = ON ]; then
        for page in "$installed"/share/man/man*/*.gz; do
            header="$(od -An -tx1 -N8 "$page" | tr -d ' \n')"
            [ "${header:6:10}" = 0000000000 ] || fail "$page carries a name or time stamp ($header)"
            zcat "$page" | grep -q '^\.TH ' || fail "$page is not a manual page"
        done
    fi

    # Nothing installed may depend on the trees it was built from.
    [ "$sanitized" = ON ] || for tree in "$build" "$source"; do
        if found="$(grep -rlF -- "$tree" "$root")"; then
            fail "installed files refer to $tree: $found"
        fi
    done

    # The installed zelvikctl finds the installed simulator beside it, and
    # drives it on the installed example bus.
    local bus="$installed/share/zelvik/virtual-printers.xml"
    ctl() { timeout 60 "$installed/bin/zelvikctl" --simulated "$bus" "$@"; }
    listed="$(ctl list | grep -c '^Zelvik LP-' || true)"
    [ "$listed" = 2 ] || fail "$prefix: zelvikctl list shows $listed printers, the example bus has 2 listable ones"
    uri="$(ctl --json list | sed -n 's|.*"deviceURI": "\(.*ZLP100-0001\)".*|\1|p')"
    [ -n "$uri" ] || fail "$prefix: the LP-100 is not in the printer list"
    # Whole outputs first: grep -q would end the pipe early.
    info="$(ctl info "$uri")"
    grep -q '^page count: *1234$' <<<"$info" || fail "$prefix: zelvikctl info does not show the page count: $info"
    sent="$(ctl send "$uri" "$work/job/data.prn")"
    grep -q '^100%$' <<<"$sent" || fail "$prefix: zelvikctl send did not end at 100%: $sent"
    [ "$(ctl active "$uri")" = True ] || fail "$prefix: zelvikctl active does not say True"

    # A C++ front end built through the installed pkg-config file alone,
    # and installed beside zelvikctl: the archive finds the simulator from
    # the program's folder.
    local pc=(env PKG_CONFIG_PATH="$installed/lib/pkgconfig" pkg-config --cflags --libs)
    local frontend="$installed/bin/zelvik-frontend-test"
    if c++ -std=c++20 "${sanitize_flags[@]}" -o "$frontend" "$source/examples/frontend.cpp" \
           $("${pc[@]}" zelvik-client++) 2>"$work/frontend.log"; then
        out="$(timeout 60 "$frontend" "$bus" "$work/job/data.prn")" || fail "$prefix: the C++ front end failed: $out"
        grep -q '^printed$' <<<"$out" || fail "$prefix: the C++ front end did not print: $out"
    else
        fail "$prefix: the C++ front end does not build against the installed library: $(cat "$work/frontend.log")"
    fi
    rm -f "$frontend"

    # A C front end on the shared library, built outside the tree: the
    # library finds the simulator from its own folder (dladdr), the one it
    # lies in even when found through a link (as a merged /usr finds
    # /usr/lib's libraries in /lib).
    ln -sfn "$installed/lib" "$work/lib-link"
    if cc -std=c99 -Wall -Werror "${sanitize_flags[@]}" -o "$work/frontend-c" "$source/examples/frontend.c" \
           $("${pc[@]}" zelvik-client) 2>"$work/frontend.log"; then
        out="$(LD_LIBRARY_PATH="$work/lib-link" timeout 60 "$work/frontend-c" "$bus" "$work/job/data.prn")" ||
            fail "$prefix: the C front end failed: $out"
        grep -q '^printed$' <<<"$out" || fail "$prefix: the C front end did not print: $out"
        grep -q ': Zelvik LP-100$' <<<"$out" || fail "$prefix: the C front end did not read the model: $out"
    else
        fail "$prefix: the C front end does not build against the installed library: $(cat "$work/frontend.log")"
    fi

    # The Python package installed by pip, offline, against the installed
    # library (from a copy: a build writes beside its sources); the example
    # monitor runs on the installed example bus. Not for a sanitized build,
    # whose library a Python process cannot load without preloading.
    if [ "$sanitized" = OFF ]; then
        rm -rf "$work/python-src" "$work/site"
        cp -r "$source/python" "$work/python-src"
        if /usr/bin/python3 -m pip install -q --no-index --no-build-isolation --no-deps --disable-pip-version-check \
               --root-user-action=ignore --target "$work/site" "$work/python-src" >"$work/pip.log" 2>&1; then
            out="$(LD_LIBRARY_PATH="$installed/lib" PYTHONPATH="$work/site" PYTHONDONTWRITEBYTECODE=1 \
                   timeout 60 /usr/bin/python3 "$source/examples/monitor.py" --simulated "$bus" --once)" ||
                fail "$prefix: the Python monitor failed: $out"
            # The example bus's states: the LP-200 is printing.
            grep -q 'LP-100 .* TRUE *10001 *Ready$' <<<"$out" && grep -q 'LP-200 .* TRUE *10023 *Printing$' <<<"$out" ||
                fail "$prefix: the Python monitor shows: $out"
            # The utility's launcher finds its modules from where it lies.
            if [ "$utility" = ON ]; then
                out="$(PYTHONPATH="$work/site" PYTHONDONTWRITEBYTECODE=1 "$installed/bin/zelvik-utility" --version 2>&1)" ||
                    fail "$prefix: zelvik-utility does not start: $out"
                grep -qx 'zelvik-utility [0-9][0-9.]*' <<<"$out" || fail "$prefix: zelvik-utility --version says: $out"
            fi
        else
            fail "$prefix: pip cannot install the Python package: $(cat "$work/pip.log")"
        fi
    fi
}

check_installed "$work/root" /opt/zelvik-install-test
check_installed "$work/second" /srv/zelvik/second

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "installed trees under two prefixes work"
