#!/usr/bin/env bash
# static-proof.sh DLL [OBJDIR]
# Proves the 32-bit product without running it: PE32 i386, exactly the six
# undecorated exports at ordinals 1 to 6, the stdcall argument sizes from the
# compiled objects, imports from Windows system DLLs only, and the version.
set -euo pipefail
exec python3 "$(dirname "$0")/static_proof.py" "$@"
