#!/bin/bash
# Builds the module and starts the full local stack: httpd with mod_kalder
# (a mapped and a guest collection), kalder-backend over a demo data
# directory and the identity/transfer service emulator. Prints curl commands
# and the browser URL; Ctrl-C stops everything.
# Installs missing Debian packages first (needs root or sudo).
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps run
scripts/check-ssl-runtime
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKALDER_TESTS=OFF >/dev/null
cmake --build build -j"${KALDER_JOBS:-2}" --target mod_kalder kalder-backend
exec tools/kalder-stack --build "$PWD/build" "$@"
