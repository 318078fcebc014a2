#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang 16 (ASan and UBSan) and runs each
# on its seed corpus for a bounded time; any finding fails the run and is
# left as a crash-* file in the build folder.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     default 60
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="$here/build-fuzz"
for p in clang-16 libclang-rt-16-dev; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        [ "$(id -u)" -eq 0 ] || { echo "missing Debian package $p (run as root to install it)" >&2; exit 1; }
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null
    fi
done
CC=clang-16 CXX=clang++-16 cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVIK_FUZZ=ON \
    -DZELVIK_SANITIZE=address,undefined -DZELVIK_BUILD_TESTS=OFF -DZELVIK_BUILD_BENCH=OFF \
    -DZELVIK_BUILD_MAN=OFF -DZELVIK_INSTALL_UDEV_RULE=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_xml fuzz_bus fuzz_device fuzz_intake
for target in xml bus device intake; do
    echo "== fuzz_$target for ${seconds}s"
    # A copy of the corpus grows; the seeds in the tree stay as they are.
    work="$build/corpus-$target"
    mkdir -p "$work"
    # Command files may come near the program's 256 KiB limit.
    max_len=65536
    [ "$target" = intake ] && max_len=270000
    (cd "$build" && ASAN_OPTIONS=detect_leaks=1 "./tests/fuzz/fuzz_$target" -max_total_time="$seconds" \
        -max_len="$max_len" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$build/" \
        "$work" "$here/tests/fuzz/corpus/$target" 2>&1 | grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb|INFO: -max_total|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written|fuzz_intake:)' || true)
    # libFuzzer exits non-zero on a finding; its log line above names the
    # input. Any one kind of artifact is a finding.
    findings="$(compgen -G "$build/crash-*" || compgen -G "$build/leak-*" || compgen -G "$build/timeout-*" ||
        compgen -G "$build/oom-*" || true)"
    if [ -n "$findings" ]; then
        echo "fuzz_$target: a finding (see above): $findings" >&2
        exit 1
    fi
done
echo "== no findings"
