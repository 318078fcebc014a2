#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks: clang-tidy (.clang-tidy) over every source of src/, one per
# core at a time, then the layout check of scripts/format.sh. Any finding
# fails the run. The compile commands come from a build folder, configured
# (not built) here when it has none.
#   scripts/lint.sh [BUILD_DIR]     default: build-lint in the tree
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build-lint}")"
tidy="${CLANG_TIDY:-clang-tidy-14}"

if [ -z "${CLANG_TIDY:-}" ] && ! command -v "$tidy" >/dev/null; then
    [ "$(id -u)" -eq 0 ] || { echo "missing Debian package clang-tidy-14 (run as root to install it)" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang-tidy-14 >/dev/null
fi
if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZELVIK_BUILD_MAN=OFF >/dev/null
fi

cd "$here"
# The tracked sources of src/ that are compiled; headers are checked through them.
mapfile -t sources < <(git ls-files -- 'src/*.cpp' | while read -r f; do
    grep -q "\"file\": \"$here/$f\"" "$build/compile_commands.json" && echo "$f"
done)
echo "== clang-tidy: ${#sources[@]} sources"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
# The compiler's own warnings are the builds' business (gcc, -Werror there):
# the result must not depend on whether this build folder has -Werror.
printf '%s\n' "${sources[@]}" |
    xargs -P "$(nproc)" -n 1 "$tidy" -p "$build" --quiet --extra-arg=-Wno-error >"$log" 2>/dev/null || status=$?
# A header's findings come once per source that includes it.
grep -E '^[^ ].*: (warning|error): ' "$log" | sort -u || true
if [ "$status" -ne 0 ]; then
    echo "clang-tidy: findings above" >&2
    exit 1
fi
bash "$here/scripts/format.sh" --check
echo "== no findings"
