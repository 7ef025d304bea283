#!/usr/bin/env bash
# Builds the product (32-bit) and its 64-bit twin, also the product with a
# second compiler (clang), proves the product statically, builds and tests the
# report receiver natively, runs a short pass of every fuzz harness, and runs
# every test on the twin under wine64; then runs the shipped 32-bit product
# itself in an emulated machine, on 32-bit and on 64-bit Windows: the whole
# cycle through all six exports, and the soak's create and load cycles
# (scripts/vm32.sh; --all runs the test bundle through its run-tests.cmd
# instead of the soak, too long for this command).
set -euo pipefail
cd "$(dirname "$0")/.."
# The presets leave the number of build jobs to the machine: all its cores,
# unless CMAKE_BUILD_PARALLEL_LEVEL says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
scripts/bootstrap.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32
cmake --preset win64 >/dev/null
cmake --build --preset win64
cmake --preset clang32 >/dev/null
# lld warns about the DWARF of gcc's prebuilt runtime; that noise is not ours.
cmake --build --preset clang32 2>&1 | { grep -v 'failed to compute relocation' || true; }
# The report receiver, native: its unit tests, a live server, the kill under
# load and the dashboard in headless Chromium (a few seconds).
cmake --preset reports >/dev/null
cmake --build --preset reports
ctest --preset reports
scripts/fuzz.sh "${QUENTRA_FUZZ_SECONDS:-5}"
ctest --preset win32 -L static
ctest --preset win64
scripts/vm32.sh
