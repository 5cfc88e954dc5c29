#!/usr/bin/env bash
# Installs what is missing, builds Quillobrandt as a Debian package and installs that package, so the program
# appears in the desktop's application menu with its icon.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    cat <<'USAGE'
Usage: ./install.sh [--help]

Installs the Debian packages Quillobrandt needs (scripts/install-deps.sh), builds the
program into build/, makes the Debian package build/quillobrandt_<version>_<arch>.deb
(cpack -G DEB) and installs it with apt-get, which asks for the administrator's
password through sudo. Afterwards Quillobrandt is in the application menu, and
"quillobrandt" starts it from a terminal.

To remove it again:
    sudo apt-get remove quillobrandt
USAGE
}

case "${1:-}" in
-h | --help)
    usage
    exit 0
    ;;
"") ;;
*)
    usage >&2
    exit 2
    ;;
esac

./scripts/install-deps.sh

cmake --preset default >/dev/null
cmake --build build -j"$(nproc)" --target quillobrandt
rm -f build/quillobrandt_*.deb
(cd build && cpack -G DEB >/dev/null)
packages=(build/quillobrandt_*.deb)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
# A path with a slash makes apt-get install the file itself, and the packages it depends on.
$SUDO apt-get install -y "./${packages[0]}"
echo "Quillobrandt is installed: find it in the application menu, or run: quillobrandt"
