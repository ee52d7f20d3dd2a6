#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang pkg-config
  libasio-dev libicu-dev uuid-dev libseccomp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libnss-wrapper e2fsprogs util-linux
  libgtk-4-dev libx11-dev xvfb xauth xdotool imagemagick fonts-dejavu-core
  weston libweston-10-dev libgl1-mesa-dri libegl-mesa0
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0 python3-gi
  libglib2.0-dev shared-mime-info desktop-file-utils xdg-utils dbus dpkg-dev lintian xz-utils
  libkf5purpose-dev libkf5coreaddons-dev qtbase5-dev extra-cmake-modules xdg-desktop-portal fuse3
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
