#!/usr/bin/env bash
# Builds the Debian packages from the release preset into build/packages (kelpword-share and
# libdidedaziv-dev) and checks them with lintian, which must report no error.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Installed under /usr, as Debian lays out a package (libraries in lib/<multiarch>/).
cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset release -j "$(nproc)"
rm -rf build/packages
cpack -G DEB --config build/release/CPackConfig.cmake -B build/packages
rm -rf build/packages/_CPack_Packages
ls -l build/packages/*.deb
lintian --fail-on error build/packages/*.deb
