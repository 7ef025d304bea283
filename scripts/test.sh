#!/usr/bin/env bash
# Builds the product (32-bit) and its 64-bit twin, proves the product
# statically, and runs every test on the twin under wine64.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset win64 >/dev/null
cmake --build --preset win64
ctest --preset win32 -L static
ctest --preset win64
