#!/bin/sh
# Installs what building and running Velkor needs, builds it with every core and starts it.
set -eu
cd "$(dirname "$0")/.."

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Velkor is a desktop program and needs a graphical display; none was found (DISPLAY and WAYLAND_DISPLAY are not set)." >&2
    exit 1
fi

scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_TESTS=OFF -DVELKOR_BUILD_BENCHMARKS=OFF > /dev/null
cmake --build build -j"$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
exec build/Velkor.app/Contents/MacOS/velkor
