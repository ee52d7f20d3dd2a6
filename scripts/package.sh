#!/usr/bin/env bash
# Builds the Debian packages into build/packages (kelpword-share, kelpword-share-window,
# libdidedaziv-dev, and kelpword-reference where its install component exists) and checks them
# with lintian, which must report no error.
#
# Builds only what the packages hold, not the tests and benchmarks. The build folder is the
# release preset's, build/release, unless KELPWORD_BUILD names another (configured here for
# release when it is new); KELPWORD_PACKAGES names another folder for the packages.
set -euo pipefail
cd "$(dirname "$0")/.."

build="${KELPWORD_BUILD:-build/release}"
packages="${KELPWORD_PACKAGES:-build/packages}"

scripts/install-deps.sh

# Installed under /usr, as Debian lays out a package (libraries in lib/<multiarch>/).
if [ "$build" = build/release ]; then
  cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELPWORD_WERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build" --target kelpword-package-contents -j "$(nproc)"
rm -rf "$packages"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$packages"
rm -rf "$packages/_CPack_Packages"
ls -l "$packages"/*.deb
lintian --fail-on error "$packages"/*.deb
