#!/usr/bin/env bash
# Builds the Debian package dist/trellion_<version>_<arch>.deb (as root on Debian 12: installs
# what is missing first). Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >&2

# The shared build folder, with Debian's flags (scripts/build-options.sh); only what the package
# holds is built here.
source scripts/build-options.sh
cmake -S . -B build "${build_options[@]}" >/dev/null
ninja -C build trellion packaging/all >&2
rm -f build/trellion_*.deb
(cd build && cpack -G DEB >&2)
debs=(build/trellion_*.deb)
mkdir -p dist
mv "${debs[0]}" dist/
echo "dist/$(basename "${debs[0]}")"
