#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its dependencies and contents.
#   check-debian-package.sh <build folder> <work folder> <runtime-packages.txt> <application id> <sanitized: ON/OFF>
set -euo pipefail
build=$1
work=$2
list=$3
app=$4
sanitized=$5
status=0
fail() {
    echo "$*" >&2
    status=1
}

rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >/dev/null
debs=("$work"/quillobrandt_*.deb)
[ -f "${debs[0]}" ] || {
    echo "cpack made no quillobrandt_*.deb in $work" >&2
    exit 1
}
deb=${debs[0]}

# Depends is the runtime list of install-deps.sh, in its order, and each entry is a real, installed package.
runtime=()
while read -r line; do
    line="${line%%#*}"
    line="${line//[[:space:]]/}"
    [ -n "$line" ] && runtime+=("$line")
done <"$list"
expected=$(printf '%s, ' "${runtime[@]}")
expected=${expected%, }
depends=$(dpkg-deb -f "$deb" Depends)
[ "$depends" = "$expected" ] || fail "Depends: $depends"$'\n'"expected: $expected"
for package in "${runtime[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        fail "$package is not an installed Debian package"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in ./usr/bin/quillobrandt "./usr/share/applications/$app.desktop" "./usr/share/metainfo/$app.metainfo.xml" \
    "./usr/share/icons/hicolor/scalable/apps/$app.svg" "./usr/share/icons/hicolor/48x48/apps/$app.png"; do
    grep -qxF "$file" <<<"$contents" || fail "the package lacks $file"
done

# Every library the program links comes from a dependency, from what a dependency itself depends on, or from the
# C and C++ runtimes that every Debian system has.
allowed=" ${runtime[*]} libc6 libstdc++6 libgcc-s1 "
for package in "${runtime[@]}"; do
    for dependency in $(dpkg-query -W -f='${Depends}, ${Pre-Depends}' "$package" | tr ',|' '\n' |
        sed 's/(.*)//; s/:any//; s/[[:space:]]//g'); do
        allowed+="$dependency "
    done
done
if [ "$sanitized" = "ON" ]; then
    allowed+="libasan8 libubsan1 " # the sanitizers' runtimes of a test build
fi
program="$build/Quillobrandt/quillobrandt"
for library in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    path=$(ldd "$program" | awk -v lib="$library" '$1 == lib {print $3}')
    owner=""
    for candidate in "$path" "${path#/usr}" "/usr$path" "$(realpath "$path" 2>/dev/null)"; do
        owner=$(dpkg -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1) && [ -n "$owner" ] && break
    done
    if [ -z "$owner" ]; then
        fail "no package holds $library ($path)"
    elif [[ "$allowed" != *" $owner "* ]]; then
        fail "$library comes from $owner, which the package does not depend on"
    fi
done
exit "$status"
