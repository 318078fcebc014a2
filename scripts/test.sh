#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds and runs every test: the plain build (with the emulated-kernel USB
# suite), then the in-process suites under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer.
#   scripts/test.sh           all three builds
#   scripts/test.sh --quick   the plain build only
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

run_suite() {
    local name="$1"; shift
    local build="$here/build-test-$name"
    echo "== $name build"
    bash "$here/scripts/setup.sh" "$build" "$@"
    echo "== $name tests"
    # The give-up test waits its fifteen seconds of silence in real time in
    # any build and touches no threads or memory the others do not: it runs
    # on the plain build only.
    local skip=()
    [ "$name" = plain ] || skip=(-E 'GivesUpFifteenSeconds')
    ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 "${skip[@]}"
}

run_suite plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The shared library's exports and ABI against the ones stored.
echo "== ABI check"
bash "$here/scripts/abi-check.sh" "$here/build-test-plain"
# Run as root, the permission cases (unreadable and unwritable files) pass
# vacuously: the plain suites run again as an unprivileged user, who can
# read the build but write only the test log. The cases that need root
# (another user, a private mount) skip there, and the long stress and
# time-out runs, which are about no permission, run once. So does the
# utility's window test (label gui), which writes into the build folder.
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1 && command -v runuser >/dev/null; then
    echo "== plain tests as nobody"
    install -d -o nobody "$here/build-test-plain/Testing/Temporary"
    runuser -u nobody -- env HOME=/nonexistent ctest --test-dir "$here/build-test-plain" \
        --output-on-failure -j2 --timeout 300 -LE 'install|gui' -E 'Stress\.|GivesUpFifteenSeconds'
fi
if [ "${1:-}" != "--quick" ]; then
    # The emulated-kernel suite preloads umockdev, which sanitizer runtimes
    # do not share the preload list with: it runs on the plain build only.
    run_suite asan -DCMAKE_BUILD_TYPE=Debug -DZELVIK_SANITIZE=address,undefined \
        -DZELVIK_UMOCKDEV_TESTS=OFF -DZELVIK_BUILD_BENCH=OFF
    run_suite tsan -DCMAKE_BUILD_TYPE=Debug -DZELVIK_SANITIZE=thread \
        -DZELVIK_UMOCKDEV_TESTS=OFF -DZELVIK_BUILD_BENCH=OFF
fi
echo "== all test suites passed"
