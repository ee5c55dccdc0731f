#!/bin/sh
# Installs what is needed, builds Velkor and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors, runs the whole test suite, then builds the
# Debian package and checks it (scripts/check-package.sh).
set -eu
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh --tests
scripts/check-layers.sh
cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=Debug -DVELKOR_SANITIZE=ON -DVELKOR_WERROR=ON > /dev/null
cmake --build build-tests -j2
(cd build-tests &&
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2 --timeout 600)
scripts/check-package.sh
