#!/usr/bin/env bash
# A bounded run of generated hostile campaign files through TCCheck (the long
# run is scripts/hostile.sh).
set -euo pipefail
. "${QUENTRA_SOURCE:?}/scripts/lib.sh"; : "${QUENTRA_BUILD:?}"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
python3 "$quentra_repo/scripts/hostile.py" "$work" "${QUENTRA_HOSTILE_COUNT:-400}" 1208
quentra_run quentra-hostile.exe "$(quentra_winpath "$work")"
