#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need, only those missing;
# with package names as arguments, those instead (the Windows build's own list).
# Safe to run again: with everything present it only checks.
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config clang-format clang-tidy
    clang libclang-rt-14-dev
    qt6-base-dev libgl-dev qt6-wayland fonts-dejavu-core
    libudev-dev umockdev libumockdev-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    picocom valgrind python3-jsonschema
    help2man desktop-file-utils dpkg-dev file strace
    xvfb xdotool x11-utils dbus-daemon dbus-bin dbus-x11 at-spi2-core python3 python3-pyatspi
)
if (($#)); then packages=("$@"); fi
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}" >&2
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
