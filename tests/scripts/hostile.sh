#!/usr/bin/env bash
# A bounded run of generated hostile campaign files through TCCheck (the long
# run is scripts/hostile.sh).
set -euo pipefail
src=${QUENTRA_SOURCE:?}; build=${QUENTRA_BUILD:?}
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
python3 "$src/scripts/hostile.py" "$work" "${QUENTRA_HOSTILE_COUNT:-400}" 1208
cd "$build/bin"
timeout 900 "$src/tools/wine/qwine" ./quentra-hostile.exe "Z:$(echo "$work" | tr / '\\')"
