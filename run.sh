#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
    cat <<'USAGE'
Usage: ./run.sh [--help] [program arguments...]

Installs the Debian packages Quillobrandt needs (scripts/install-deps.sh), builds the
program into build/ and starts it. Any further arguments are passed to the program.

Quillobrandt is a desktop program: it needs a graphical session (X11 or Wayland, with
DISPLAY or WAYLAND_DISPLAY set). Without one, it can run on a virtual screen:
    xvfb-run -a ./run.sh
USAGE
}

case "${1:-}" in
-h | --help)
    usage
    exit 0
    ;;
esac

# Qt would abort without a screen to open its window on; say what is missing instead.
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "run.sh: no desktop session found: neither DISPLAY nor WAYLAND_DISPLAY is set." >&2
    echo "Start Quillobrandt from a graphical session, or on a virtual screen: xvfb-run -a ./run.sh" >&2
    exit 2
fi

./scripts/install-deps.sh

# Configured once: later builds re-run CMake by themselves when a build file changed, so a second start does not
# wait for a configuration that changes nothing.
if [[ ! -f build/CMakeCache.txt || CMakePresets.json -nt build/CMakeCache.txt ]]; then
    cmake --preset default >/dev/null
fi
cmake --build build -j"$(nproc)" --target quillobrandt

exec build/Quillobrandt/quillobrandt "$@"
