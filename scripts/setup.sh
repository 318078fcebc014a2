#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the build needs (Debian packages; only when run as root and
# something is missing), then configures and builds into the given folder.
#   scripts/setup.sh BUILD_DIR [extra cmake arguments...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
shift || true

packages=(build-essential cmake pkg-config libexpat1-dev libusb-1.0-0-dev libudev-dev
          libcli11-dev nlohmann-json3-dev googletest libgtest-dev libgmock-dev umockdev libumockdev-dev
          pandoc dpkg-dev debhelper lintian abigail-tools
          python3 python3-pytest python3-setuptools python3-wheel python3-pip python3-all dh-python
          pybuild-plugin-pyproject
          python3-gi gir1.2-gtk-4.0 gir1.2-adw-1 xvfb xauth dbus imagemagick desktop-file-utils appstream)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "== installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "missing Debian packages (run as root to install them): ${missing[*]}" >&2
        exit 1
    fi
fi

cmake -S "$here" -B "$build" -DZELVIK_WERROR=ON "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
