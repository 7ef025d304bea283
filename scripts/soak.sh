#!/usr/bin/env bash
# soak.sh [CHECK_CYCLES] [CREATE_CYCLES]
# The long soak on the 64-bit twin under Wine: 100,000 TCCheck/TCEnum cycles on
# one instance, then 1,000 create/destroy cycles with and without
# LoadLibrary/FreeLibrary. Prints handles, threads and private bytes before and
# after each phase. (ctest runs a short version as soak_short.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target quentra-soak >/dev/null
export QUENTRA_BUILD=$PWD/build/win64
cd build/win64/bin
../../../tools/wine/qwine ./quentra-soak.exe "${1:-100000}" "${2:-1000}"
