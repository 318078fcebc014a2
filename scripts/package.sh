#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages from a copy of the tree in a temporary folder
# (dpkg-buildpackage writes next to the source and into it), then checks them
# with lintian, failing on any error or warning.
#   scripts/package.sh [OUTPUT_DIR]    the .deb files land in OUTPUT_DIR
#                                      (default: build-deb in the tree)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$here/build-deb}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/zelvik" "$out"
# The tree as it stands, without build folders or Git metadata.
tar -C "$here" --exclude='./.git' --exclude='./build*' --exclude='./.cache' \
    --exclude='./compile_commands.json' -cf - . | tar -C "$work/zelvik" -xf -

echo "== Debian package build"
# Debian's tools first, as on a build daemon: pybuild runs the python3.X it
# finds on PATH, and only Debian's has the Debian packages it builds with.
(cd "$work/zelvik" && PATH="/usr/sbin:/usr/bin:/sbin:/bin:$PATH" dpkg-buildpackage -us -uc -b -j2) \
    >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log" >&2
    echo "dpkg-buildpackage failed (log above)" >&2
    exit 1
}

echo "== lintian"
changes=("$work"/zelvik_*.changes)
lintian --fail-on error,warning --display-info "${changes[0]}"

cp "$work"/*.deb "$out"/
echo "== packages in $out:"
ls -1 "$out"/*.deb
