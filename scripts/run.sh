#!/usr/bin/env bash
# Installs what is missing, builds and starts the monitor. Without a display it runs under a
# virtual one (Xvfb), so the command also works on a headless machine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# Shares the build folder with the test and package commands; only the program is built here.
source scripts/build-options.sh
cmake -S . -B build "${build_options[@]}" >/dev/null
ninja -C build trellion
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec xvfb-run -a ./build/trellion "$@"
fi
exec ./build/trellion "$@"
