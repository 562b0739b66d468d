#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build, test and run Vantra. Needs root.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "install-deps: run as root (or install the packages listed here yourself)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config libsystemd-dev \
  clang libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  qt6-base-dev libgl-dev \
  fonts-dejavu-core fonts-wine fontconfig \
  libxcb1-dev xvfb xauth x11-utils x11-apps xdotool imagemagick openbox time \
  lintian desktop-file-utils appstream bash-completion \
  dbus-daemon dbus-bin python3-dbusmock \
  at-spi2-core python3-pyatspi gir1.2-atspi-2.0
