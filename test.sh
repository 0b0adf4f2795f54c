#!/bin/bash
# Checks the formatting, builds everything and runs every test:
#   1. build/        unit tests, integration and browser tests against a real httpd
#   2. build-asan/   unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer
#   3. build-fuzz/   libFuzzer targets, each for a bounded time (KALDER_FUZZ_SECONDS, default 20)
#   4. dist/         the Debian packages, installed, serving a download and an upload, purged
# Installs missing Debian packages first (needs root or sudo).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps test
scripts/check-ssl-runtime

echo "== formatting"
scripts/check-format

jobs=${KALDER_JOBS:-2}
fuzz_seconds=${KALDER_FUZZ_SECONDS:-20}

echo "== build and test (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALDER_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure)

echo "== unit tests under ASan+UBSan (build-asan/)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKALDER_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -L unit --output-on-failure)

echo "== fuzzing (build-fuzz/, ${fuzz_seconds}s per target)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALDER_FUZZ=ON \
    -DKALDER_TESTS=OFF -DKALDER_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
cmake --build build-fuzz -j"$jobs"
(cd build-fuzz && ctest --output-on-failure)

echo "== packages (dist/): build, install, serve through the installed module, purge"
scripts/build-packages dist
KALDER_PACKAGE_TEST=1 KALDER_DEB_DIR="$PWD/dist" KALDER_BUILD_DIR="$PWD/build" \
    tests/integration/run tests/integration/test_packages.py
