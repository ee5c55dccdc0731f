#!/bin/sh
# Installs the Debian 12 packages Velkor needs. Safe to run again.
#
#   scripts/install-dependencies.sh          what building, packaging and running Velkor needs
#   scripts/install-dependencies.sh --tests  that, and what the tests and the package checks use
#
# Run as an ordinary user it asks for rights through sudo when the user may use it, else
# through su (root's password), else says what to run as root.
set -eu

build="build-essential cmake pkg-config qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools
  libicu-dev libplist-dev libzip-dev pci.ids"
program="qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-templates qml6-module-qtquick-window qml6-module-qtqml-workerscript
  pkexec usbutils file"
tests="ccache libgtest-dev libgmock-dev libplist-utils unzip lintian desktop-file-utils appstream
  xvfb xauth xdotool dbus-daemon"

packages="$build $program"
case "${1:-}" in
    --tests) packages="$packages $tests" ;;
    "") ;;
    *) echo "usage: scripts/install-dependencies.sh [--tests]" >&2; exit 2 ;;
esac

if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
    echo "This system has no apt: install these packages (Debian's names, the oldest versions that work) with its own package manager." >&2
    cat >&2 <<'EOF'
  build-essential (g++ 12, C++20)   cmake 3.25   pkg-config
  qt6-base-dev 6.4   qt6-declarative-dev 6.4   qt6-declarative-dev-tools 6.4
  libicu-dev 72   libplist-dev 2.2   libzip-dev 1.7   pci.ids
  qml6-module-qtquick 6.4   qml6-module-qtquick-controls 6.4   qml6-module-qtquick-layouts 6.4
  qml6-module-qtquick-templates 6.4   qml6-module-qtquick-window 6.4   qml6-module-qtqml-workerscript 6.4
  pkexec (polkit 0.105)   usbutils   file
EOF
    # Whoever has installed them goes on to the build, which names anything still missing.
    if command -v cmake >/dev/null 2>&1 && command -v c++ >/dev/null 2>&1 && command -v pkg-config >/dev/null 2>&1; then
        exit 0
    fi
    exit 1
fi

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0

install="/usr/bin/apt-get update -qq && DEBIAN_FRONTEND=noninteractive /usr/bin/apt-get install -y -qq --no-install-recommends$missing"
if [ "$(id -u)" -eq 0 ]; then
    sh -c "$install"
elif command -v sudo >/dev/null 2>&1 && { sudo -n true 2>/dev/null || id -nG | grep -qwE 'sudo|admin|wheel'; }; then
    sudo sh -c "$install"
elif command -v su >/dev/null 2>&1 && [ -t 0 ]; then
    echo "Installing$missing needs root: enter root's password." >&2
    su root -c "$install"
else
    echo "Velkor needs packages that only root can install; as root, run: apt-get install --no-install-recommends$missing" >&2
    exit 1
fi
