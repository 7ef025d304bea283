#!/usr/bin/env bash
# hostile.sh [COUNT] [SEED] : generates COUNT hostile campaign files (default
# 3000) and runs them all through TCCheck on the 64-bit twin under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target quentra-hostile >/dev/null
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
python3 scripts/hostile.py "$work" "${1:-3000}" "${2:-1208}"
export QUENTRA_BUILD=$PWD/build/win64
cd build/win64/bin
../../../tools/wine/qwine ./quentra-hostile.exe "Z:$(echo "$work" | tr / '\\')"
