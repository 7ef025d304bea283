#!/usr/bin/env bash
# Builds the product (32-bit) and its 64-bit twin, also the product with a
# second compiler (clang), proves the product statically, builds and tests the
# report receiver natively, runs a short pass of every fuzz harness, and runs
# every test on the twin under wine64; then runs the shipped 32-bit product
# itself in an emulated machine, on 32-bit and on 64-bit Windows: the whole
# cycle through all six exports, and the soak's create cycles and 2,000 load
# cycles in one process (scripts/vm32.sh; --all also runs the test bundle
# through its run-tests.cmd, and 10,000 load cycles, too long for this command).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$quentra_repo"
scripts/bootstrap.sh
for preset in win32 win64 clang32 reports; do echo "== building $preset"; quentra_build "$preset"; done
# The report receiver, native: its unit tests, a live server, the kill under
# load and the dashboard in headless Chromium (a few seconds).
ctest --preset reports
scripts/fuzz.sh "${QUENTRA_FUZZ_SECONDS:-5}"
ctest --preset win32 -L static
ctest --preset win64
scripts/vm32.sh
