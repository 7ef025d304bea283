#!/usr/bin/env bash
# Makes the release ZIP for host teams from the 32-bit product:
# build/win32/package/Quentra-<version>-x86.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32
(cd build/win32 && cpack -C Release >/dev/null)
ls build/win32/package/*.zip
