#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/install-deps.sh

cmake --preset default >/dev/null
cmake --build build -j"$(nproc)" --target quillobrandt

exec build/Quillobrandt/quillobrandt "$@"
