#!/bin/sh
# Build and run the data-channel benchmark against the toolkit libraries of
# a build directory (default: build). Usage: bench/run_toolkit_throughput.sh [MiB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${KALDER_BUILD_DIR:-$here/../build}
cmake --build "$build" -j2 --target kalder_xio >/dev/null
out=$build/toolkit_throughput
g++ -std=c++20 -O2 -Wall -Wextra -I"$here/../toolkit/include" -I"$here/../tests/unit/toolkit" \
    "$here/toolkit_throughput.cpp" "$here/../tests/unit/toolkit/toolkit_testing.cpp" \
    "$build/toolkit/libkalder_xio.a" "$build/toolkit/libkalder_gssapi_gsi.a" "$build/toolkit/libkalder_common.a" \
    -lssl -lcrypto -lpthread -o "$out"
exec "$out" "${1:-1024}"
