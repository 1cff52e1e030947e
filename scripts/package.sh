#!/usr/bin/env bash
# Builds the Debian packages dist/trellion_<version>_<arch>.deb (the desktop program with the
# plugin) and dist/trellion-check_<version>_<arch>.deb (the plugin alone, for servers), as root
# on Debian 12: installs what is missing first. Prints the packages' paths, one a line, the
# desktop's first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >&2

# The shared build folder, with Debian's flags (scripts/build-options.sh); only what the packages
# hold is built here.
source scripts/build-options.sh
cmake -S . -B build "${build_options[@]}" >/dev/null
ninja -C build trellion trellion-check packaging/all >&2
rm -f build/trellion_*.deb build/trellion-check_*.deb
(cd build && cpack -G DEB >&2)
mkdir -p dist
for name in trellion trellion-check; do
    debs=(build/"${name}"_*.deb)
    mv "${debs[0]}" dist/
    echo "dist/$(basename "${debs[0]}")"
done
