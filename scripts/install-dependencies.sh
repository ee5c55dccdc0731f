#!/bin/sh
# Installs what Velkor needs to build, run and test on Debian 12. Safe to run again.
set -eu

packages="build-essential cmake pkg-config ccache
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-workerscript
  libicu-dev libplist-dev libplist-utils libzip-dev
  libgtest-dev libgmock-dev pci.ids
  pkexec usbutils file xvfb xauth unzip xdotool dbus-daemon"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
