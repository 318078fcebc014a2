#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Holds libzelvik-client.so to its promise: it exports the functions of
# <zelvik/zelvik.h> and nothing else, the version script, the header and the
# Debian symbols file name the same functions, and its ABI is the one stored
# for its SONAME (abidiff, Debian's abigail-tools). An incompatible change
# fails unless the SONAME moved; an addition fails until it is recorded.
#   scripts/abi-check.sh [BUILD_DIR]            check (default: build-test-plain)
#   scripts/abi-check.sh [BUILD_DIR] --update   record the build's ABI as the
#                                               one stored for its SONAME
# The build must carry debug information (RelWithDebInfo or Debug).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build-test-plain}")"
update="${2:-}"
library="$build/src/client/libzelvik-client.so"
header="$here/src/client/include/zelvik/zelvik.h"
map="$here/src/client/zelvik-client.map"
symbols="$here/debian/libzelvik-client0.symbols"

if ! command -v abidiff >/dev/null; then
    [ "$(id -u)" -eq 0 ] || { echo "missing Debian package abigail-tools (run as root to install it)" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq abigail-tools >/dev/null
fi
[ -f "$library" ] || { echo "no $library: build first" >&2; exit 1; }
library="$(realpath "$library")"
soname="$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')"
[ -n "$soname" ] || { echo "$library has no SONAME" >&2; exit 1; }
readelf -S "$library" | grep -q '\.debug_info' ||
    { echo "$library has no debug information: check a RelWithDebInfo or Debug build" >&2; exit 1; }
baseline="$here/src/client/abi/$soname.abi"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# 1. What the library exports: functions of the C interface, each in a
# version node of ours, and the nodes themselves.
exported="$(objdump -T "$library" | grep -E '^[0-9a-f]+ ' | grep -vF '*UND*' | awk '{ print $NF " " $(NF-1) }' | sort)"
stray="$(grep -Ev '^zelvik_[a-z0-9_]+ ZELVIK_[0-9.]+$|^(ZELVIK_[0-9.]+) \1$' <<<"$exported" || true)"
[ -z "$stray" ] || fail "exported beyond the C interface:"$'\n'"$stray"
functions="$(awk '$2 ~ /^ZELVIK_/ && $1 ~ /^zelvik_/ { print $1 }' <<<"$exported" | sort)"

# 2. The same names in the header, the version script and the symbols file.
declared="$(grep -o 'ZELVIK_API [^(]*\bzelvik_[a-z0-9_]*(' "$header" | grep -o 'zelvik_[a-z0-9_]*($' | tr -d '(' | sort)"
listed="$(sed 's|/\*.*\*/||' "$map" | grep -o '^ *zelvik_[a-z0-9_]*;' | tr -d ' ;' | sort)"
recorded="$(grep -o '^ zelvik_[a-z0-9_]*@' "$symbols" | tr -d ' @' | sort)"
for pair in "declared:header" "listed:version script" "recorded:symbols file"; do
    name="${pair%%:*}" what="${pair#*:}"
    if ! difference="$(diff <(echo "$functions") <(echo "${!name}"))"; then
        fail "the $what and the library's exports differ (< exported only, > $what only):"$'\n'"$difference"
    fi
done

# 3. The ABI against the one stored for this SONAME: the public types only
# (those of the header), the exported functions only, no source locations.
current="$(mktemp)"
trap 'rm -f "$current"' EXIT
abidw --headers-dir "$(dirname "$header")" --drop-private-types --exported-interfaces-only \
    --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash \
    --out-file "$current" "$library"
if [ "$update" = --update ]; then
    mkdir -p "$(dirname "$baseline")"
    cp "$current" "$baseline"
    echo "== recorded the ABI of $soname in ${baseline#"$here"/}"
elif [ ! -f "$baseline" ]; then
    fail "no ABI stored for $soname: a new SONAME records its first with scripts/abi-check.sh BUILD_DIR --update"
else
    status=0
    report="$(abidiff "$baseline" "$current" 2>&1)" || status=$?
    [ "$status" -eq 0 ] || echo "$report"
    # abidiff counts a removed function as incompatible, and any other
    # change (a parameter's or an enumerator's value, say) as a change to
    # review: for a promise, every change but an addition breaks it.
    only_added=no
    if grep -q 'Functions changes summary: 0 Removed, 0 Changed' <<<"$report" &&
        grep -q 'Variables changes summary: 0 Removed, 0 Changed' <<<"$report"; then
        only_added=yes
    fi
    if [ $((status & 3)) -ne 0 ]; then
        fail "abidiff could not compare (status $status)"
    elif [ $((status & 12)) -ne 0 ] && [ "$only_added" = no ]; then
        fail "an incompatible ABI change in $soname (above): keep the old functions and types as they were, or move the SONAME (SOVERSION in src/client/CMakeLists.txt) and record the new one's ABI"
    elif [ $((status & 12)) -ne 0 ]; then
        fail "the ABI of $soname grew (above): list the new functions in the version script (a node of their own once a release has shipped) and in debian/libzelvik-client0.symbols, then record it with scripts/abi-check.sh BUILD_DIR --update"
    fi
fi

[ "$failures" -eq 0 ] || { echo "ABI check: $failures failure(s)" >&2; exit 1; }
echo "== ABI of $soname: $(wc -l <<<"$functions") functions of <zelvik/zelvik.h>, as stored"
