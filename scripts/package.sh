#!/usr/bin/env bash
# package.sh [--sign CERT KEY]
# Makes the release for host teams from the 32-bit product, in build/win32/package:
#   Quentra-<version>-x86.zip        the DLL, header, tools, guides, sample
#                                    campaign, the package README, SHA256SUMS
#   Quentra-tests-<version>-x86.zip  the test suite on the 32-bit DLL, with
#                                    run-tests.cmd, for a Windows test machine
# With --sign, the DLL and the tools in the release ZIP are signed with
# Authenticode (osslsigncode) before SHA256SUMS is made: CERT is the
# code-signing certificate (PEM or DER), KEY its unencrypted private key. The
# build's own files are never signed; only the copies in the ZIP are.
set -euo pipefail
usage() { echo "usage: scripts/package.sh [--sign CERT KEY]" >&2; exit 2; }
fail() { echo "package.sh: $*" >&2; exit 2; }

cert="" key=""
if [ $# -gt 0 ]; then
  [ "$1" = --sign ] || usage
  [ $# -eq 3 ] || { echo "package.sh: --sign takes two files: the certificate and its private key" >&2; usage; }
  cert=$(realpath -m -- "$2") key=$(realpath -m -- "$3")
  [ -f "$cert" ] || fail "certificate file not found: $2 (give the code-signing certificate, PEM or DER)"
  [ -f "$key" ] || fail "private key file not found: $3 (give the certificate's private key, unencrypted PEM or DER)"
  [ -r "$cert" ] && [ -r "$key" ] || fail "cannot read $2 or $3: check their permissions"
fi

cd "$(dirname "$0")/.."
scripts/bootstrap.sh

if [ -n "$cert" ]; then
  # Say what is wrong with the pair before a build, not in the middle of cpack.
  certpub=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null ||
            openssl x509 -inform DER -in "$cert" -noout -pubkey 2>/dev/null) ||
    fail "$2 is not an X.509 certificate (PEM or DER)"
  keypub=$(openssl pkey -in "$key" -pubout -passin pass: 2>/dev/null ||
           openssl pkey -inform DER -in "$key" -pubout -passin pass: 2>/dev/null) ||
    fail "$3 is not an unencrypted private key (PEM or DER); decrypt it first: openssl pkey -in $3 -out KEY.pem"
  [ "$certpub" = "$keypub" ] || fail "$3 is not the private key of the certificate $2"
fi

cmake --preset win32 >/dev/null
cmake --build --preset win32
rm -f build/win32/package/*.zip
(cd build/win32 && QUENTRA_SIGN_CERT=$cert QUENTRA_SIGN_KEY=$key cpack -C Release >/dev/null)
python3 scripts/make_test_bundle.py build/win32 >/dev/null
ls build/win32/package/*.zip
