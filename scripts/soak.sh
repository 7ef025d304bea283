#!/usr/bin/env bash
# soak.sh [CHECK_CYCLES] [CREATE_CYCLES]
# The long soak on the 64-bit twin under Wine: 100,000 TCCheck/TCEnum cycles on
# one instance, then 1,000 create/destroy cycles with and without
# LoadLibrary/FreeLibrary. Prints handles, threads and private bytes before and
# after each phase. (ctest runs a short version as soak_short.)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
quentra_twin quentra-soak
quentra_loopback=private quentra_wine_session
quentra_run quentra-soak.exe "${1:-100000}" "${2:-1000}"
