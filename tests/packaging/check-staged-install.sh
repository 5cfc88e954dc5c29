#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and checks that it holds a whole desktop installation, and
# nothing else: the program, its menu entry, its AppStream description and its icon in every hicolor size.
#   check-staged-install.sh <build folder> <staging folder> <application id> <icon size>...
set -euo pipefail
build=$1
stage=$2
app=$3
shift 3
sizes=("$@")

rm -rf "$stage"
DESTDIR="$stage" cmake --install "$build" --prefix /usr >/dev/null
root="$stage/usr"
status=0
fail() {
    echo "$*" >&2
    status=1
}

expected=(
    bin/quillobrandt
    "share/applications/$app.desktop"
    "share/metainfo/$app.metainfo.xml"
    "share/icons/hicolor/scalable/apps/$app.svg"
)
for size in "${sizes[@]}"; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/$app.png")
done
for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "missing: /usr/$file"
done
[ -x "$root/bin/quillobrandt" ] || fail "/usr/bin/quillobrandt is not executable"

# Nothing beyond that (no library, header or test program of the build).
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$actual" != "$wanted" ]; then
    fail "the staged files differ from the expected ones:"$'\n'"$(diff <(echo "$wanted") <(echo "$actual") || true)"
fi

# Each PNG is as large as the folder it lies in says (width and height are bytes 16 to 23 of the file).
for size in "${sizes[@]}"; do
    png="$root/share/icons/hicolor/${size}x${size}/apps/$app.png"
    [ -f "$png" ] || continue
    read -r width height < <(od -An -tu1 -j16 -N8 "$png" |
        awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    if [ "$width" != "$size" ] || [ "$height" != "$size" ]; then
        fail "$png is ${width}x${height}, not ${size}x${size}"
    fi
done

# The installed entry and description pass the desktop's own validators and point at what was installed.
desktop="$root/share/applications/$app.desktop"
if [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
    grep -qx "Exec=quillobrandt" "$desktop" || fail "the entry does not start /usr/bin/quillobrandt"
    grep -qx "Icon=$app" "$desktop" || fail "the entry's icon is not the installed $app"
fi
metainfo="$root/share/metainfo/$app.metainfo.xml"
if [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" >/dev/null || fail "appstreamcli rejects $metainfo"
    grep -q "<launchable type=\"desktop-id\">$app.desktop</launchable>" "$metainfo" ||
        fail "the metainfo does not launch $app.desktop"
fi
exit "$status"
