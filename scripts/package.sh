#!/bin/sh
# Builds Velkor's Debian package from this tree, build/velkor_<version>_<architecture>.deb,
# in the same Release build folder as the start command, so either reuses the other's build.
set -eu
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_TESTS=OFF -DVELKOR_BUILD_BENCHMARKS=OFF > /dev/null
cmake --build build -j"$(nproc 2>/dev/null || getconf _NPROCESSORS_ONLN 2>/dev/null || echo 2)"
rm -f build/velkor_*.deb
(cd build && cpack -G DEB > cpack.log 2>&1) || { cat build/cpack.log >&2; exit 1; }
for deb in build/velkor_*.deb; do
    echo "Built $deb. Install it with: sudo apt install ./$deb (without sudo: su -c 'apt install ./$deb')"
done
