#!/usr/bin/env bash
# The main job: the host simulator drives the plug-in's 64-bit twin under
# wine64 in a sandboxed prefix of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Quentra quentra-host >/dev/null
build=$PWD/build/win64
export QUENTRA_BUILD=$build WINEPREFIX=$build/wine/demo-prefix
mkdir -p "$WINEPREFIX"
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
tools/wine/qwine "$build/bin/quentra-host.exe" version "$build/bin/Quentra.dll"
