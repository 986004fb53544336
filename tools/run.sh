#!/usr/bin/env bash
# Runs the client in this terminal (installs what is missing, builds first).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target pivaro
exec ./build/native/app/pivaro "$@"
