#!/usr/bin/env bash
# package.sh [--sign CERT KEY [--pass-file FILE] | --sign-pkcs11 CERT MODULE KEY_URI] [--timestamp URL]
# Makes the release for host teams from the 32-bit product, in build/win32/package:
#   Quentra-<version>-x86.zip        the DLL with its debug information
#                                    (Quentra.dll.debug), link map, .def and
#                                    import library (lib/), the header, the
#                                    tools, guides, sample campaign, the
#                                    package README, LICENSE.txt, the
#                                    third-party notices, CHANGELOG.md and
#                                    SHA256SUMS; byte for byte the same from
#                                    the same commit (before signing)
#   Quentra-tests-<version>-x86.zip  the test suite on the 32-bit DLL, with
#                                    run-tests.cmd, for a Windows test machine
# With --sign or --sign-pkcs11, the DLL and the tools in the release ZIP are
# signed with Authenticode (osslsigncode) before SHA256SUMS is made. CERT is
# the code-signing certificate (PEM or DER). The key is either
#   KEY, a private key file, encrypted or not: its passphrase is read from
#       --pass-file FILE, or from the environment variable QUENTRA_SIGN_PASS
#       (it is handed to osslsigncode through a file, never on a command line);
#   or KEY_URI, a key on a PKCS#11 token (smart card, HSM) reached through the
#       token's MODULE (e.g. /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so) and a
#       PKCS#11 URI (e.g. 'pkcs11:token=Corvel;object=codesign;type=private'),
#       with the PIN in --pass-file or QUENTRA_SIGN_PASS as above.
# --timestamp URL countersigns each signature at an RFC 3161 time-stamp server
# (e.g. http://timestamp.example.com/rfc3161), so that the signatures stay
# valid after the certificate expires. The build's own files are never
# signed; only the copies in the ZIP are.
set -euo pipefail
usage() {
  echo "usage: scripts/package.sh [--sign CERT KEY [--pass-file FILE] | --sign-pkcs11 CERT MODULE KEY_URI] [--timestamp URL]" >&2
  exit 2
}
fail() { echo "package.sh: $*" >&2; exit 2; }

cert="" key="" module="" pass_file="" timestamp=""
while [ $# -gt 0 ]; do
  case "$1" in
    --sign)
      [ $# -ge 3 ] || { echo "package.sh: --sign takes two files: the certificate and its private key" >&2; usage; }
      cert=$(realpath -m -- "$2") key=$(realpath -m -- "$3"); key_given=$3; shift 3
      [ -f "$key" ] || fail "private key file not found: $key_given (give the certificate's private key, PEM or DER)" ;;
    --sign-pkcs11)
      [ $# -ge 4 ] || { echo "package.sh: --sign-pkcs11 takes the certificate, the token's PKCS#11 module and the key's URI" >&2; usage; }
      cert=$(realpath -m -- "$2") module=$(realpath -m -- "$3") key=$4; shift 4
      [ -f "$module" ] || fail "PKCS#11 module not found: $module (the token vendor's .so, e.g. opensc-pkcs11.so)"
      [[ $key == pkcs11:* ]] || fail "the key on a token is a PKCS#11 URI starting with pkcs11:, not '$key'" ;;
    --pass-file)
      [ $# -ge 2 ] || usage
      pass_file=$(realpath -m -- "$2"); shift 2
      [ -f "$pass_file" ] && [ -r "$pass_file" ] || fail "cannot read the passphrase file $pass_file" ;;
    --timestamp)
      [ $# -ge 2 ] || usage
      timestamp=$2; shift 2
      [[ $timestamp =~ ^https?://[^[:space:]]+$ ]] || fail "--timestamp takes the http:// or https:// address of an RFC 3161 time-stamp server, not '$timestamp'" ;;
    *) usage ;;
  esac
done
if [ -n "$cert" ]; then
  [ -f "$cert" ] || fail "certificate file not found: $cert (give the code-signing certificate, PEM or DER)"
  [ -r "$cert" ] || fail "cannot read $cert: check its permissions"
elif [ -n "$pass_file$timestamp" ]; then
  fail "--pass-file and --timestamp go with --sign or --sign-pkcs11"
fi
# A passphrase from the environment goes to osslsigncode through a file of
# this run's own, readable by this user only.
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
if [ -z "$pass_file" ] && [ -n "${QUENTRA_SIGN_PASS:-}" ]; then
  pass_file=$scratch/pass; (umask 077; printf '%s' "$QUENTRA_SIGN_PASS" >"$pass_file")
fi

. "$(dirname "$0")/lib.sh"
cd "$quentra_repo"
scripts/bootstrap.sh

if [ -n "$cert" ]; then
  # Say what is wrong with the pair before a build, not in the middle of packaging.
  certpub=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null ||
            openssl x509 -inform DER -in "$cert" -noout -pubkey 2>/dev/null) ||
    fail "$cert is not an X.509 certificate (PEM or DER)"
  if [ -z "$module" ]; then
    passin=pass:; [ -z "$pass_file" ] || passin=file:$pass_file
    keypub=$(openssl pkey -in "$key" -pubout -passin "$passin" 2>/dev/null ||
             openssl pkey -inform DER -in "$key" -pubout -passin "$passin" 2>/dev/null) ||
      fail "$key is not a private key (PEM or DER) that opens with the passphrase given; an encrypted key needs --pass-file FILE or QUENTRA_SIGN_PASS"
    [ "$certpub" = "$keypub" ] || fail "$key is not the private key of the certificate $cert"
  fi
fi

quentra_build win32
rm -f build/win32/package/*.zip
QUENTRA_SIGN_CERT=$cert QUENTRA_SIGN_KEY=$key QUENTRA_SIGN_PKCS11_MODULE=$module \
  QUENTRA_SIGN_PASS_FILE=$pass_file QUENTRA_SIGN_TIMESTAMP=$timestamp \
  python3 scripts/make_release.py build/win32 build/win32/package >/dev/null
python3 scripts/make_test_bundle.py build/win32 >/dev/null
ls build/win32/package/*.zip
