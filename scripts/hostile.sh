#!/usr/bin/env bash
# hostile.sh [COUNT] [SEED] : generates COUNT hostile campaign files (default
# 3000) and runs them all through TCCheck on the 64-bit twin under Wine.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
quentra_twin quentra-hostile
quentra_loopback=private quentra_wine_session
work=$(mktemp -d); quentra_on_exit 'rm -rf "$work"'
python3 scripts/hostile.py "$work" "${1:-3000}" "${2:-1208}"
quentra_run quentra-hostile.exe "$(quentra_winpath "$work")"
