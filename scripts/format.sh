#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lays out the C and C++ sources of src/, tests/ and bench/ as .clang-format
# says, with the pinned clang-format (installed as a Debian package when run
# as root and missing).
#   scripts/format.sh           rewrites the files that differ
#   scripts/format.sh --check   changes nothing; fails naming each difference
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
package=clang-format-14
tool="${CLANG_FORMAT:-clang-format-14}"

mode=fix
case "${1:-}" in
    "") ;;
    --check) mode=check ;;
    *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac

if [ -z "${CLANG_FORMAT:-}" ] && ! command -v "$tool" >/dev/null; then
    [ "$(id -u)" -eq 0 ] || { echo "missing Debian package $package (run as root to install it)" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "$package" >/dev/null
fi

cd "$here"
# The tracked files only: build folders and scratch files are not ours to lay out.
mapfile -t files < <(git ls-files -- 'src/*' 'tests/*' 'bench/*' | grep -E '\.(c|cc|cpp|h|hpp)$')
if [ "$mode" = check ]; then
    "$tool" --style=file --dry-run -Werror "${files[@]}"
    echo "== layout: ${#files[@]} files as .clang-format says"
else
    "$tool" --style=file -i "${files[@]}"
fi
