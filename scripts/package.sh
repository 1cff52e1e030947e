#!/usr/bin/env bash
# Builds the Debian package dist/trellion_<version>_<arch>.deb (as root on Debian 12: installs
# what is missing first). Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >&2

# Debian's own optimisation and hardening flags; a folder of its own, since the flags and the
# /usr prefix differ from the test build.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DTRELLION_WERROR=ON -DTRELLION_SANITIZE=OFF -DTRELLION_TESTS=OFF -DTRELLION_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS=$CPPFLAGS $CXXFLAGS" "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" >/dev/null
ninja -C build-package >&2
rm -f build-package/trellion_*.deb
(cd build-package && cpack -G DEB >&2)
debs=(build-package/trellion_*.deb)
mkdir -p dist
mv "${debs[0]}" dist/
echo "dist/$(basename "${debs[0]}")"
