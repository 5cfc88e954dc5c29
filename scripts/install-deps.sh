#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: runs apt-get only for what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache
    libsqlite3-dev libssl-dev libgcrypt20-dev libplist-dev libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-svg-dev libqt6svg6 libheif-dev
    clang libclang-rt-14-dev
    fonts-dejavu-core fonts-liberation2 fonts-noto-color-emoji
    poppler-utils time sqlite3
    libimobiledevice-utils usbmuxd
    libcsv-dev
    desktop-file-utils appstream
)
# What the installed program needs at run time (most of it comes with the packages above anyway).
while read -r line; do
    line="${line%%#*}"
    line="${line//[[:space:]]/}"
    if [ -n "$line" ]; then
        packages+=("$line")
    fi
done <"$(dirname "$0")/runtime-packages.txt"

# One question to the package database for the whole list: asked once a package, it made a second start wait
# seconds. Packages it does not know are left out of the answer (and make it fail, which is no error here).
declare -A installed=()
while IFS=$'\t' read -r name status; do
    if [ "$status" = "install ok installed" ]; then
        installed[$name]=1
    fi
done < <(dpkg-query -W -f='${Package}\t${Status}\n' "${packages[@]}" 2>/dev/null || true)

missing=()
for pkg in "${packages[@]}"; do
    if [ -z "${installed[$pkg]:-}" ]; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
