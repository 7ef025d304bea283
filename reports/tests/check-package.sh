#!/bin/sh
# Builds the receiver's Debian package with CPack and checks it: its files,
# owners and modes, the control data (dependencies, conffiles, the user made
# at install), the settings the unit reads, the man page, copyright and
# changelog, the unit itself (systemd-analyze verify, and its hardening with
# systemd-analyze security, where systemd is installed), and lintian's verdict
# (where lintian is). Nothing is installed.
# Usage: check-package.sh BUILD_DIR
set -eu
build=$1
out=$(mktemp -d /tmp/quentra-reports-package.XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; fail "cpack failed"; }
deb=$(ls "$out"/quentra-reports_*.deb) || fail "no package made"
dpkg-deb -c "$deb" >"$out/contents"
for entry in "-rwxr-xr-x root/root .* ./usr/bin/quentra-reports" \
             "-rw-r--r-- root/root .* ./lib/systemd/system/quentra-reports.service" \
             "-rw-r--r-- root/root .* ./etc/default/quentra-reports" \
             "-rw-r--r-- root/root .* ./etc/logrotate.d/quentra-reports" \
             "-rw-r--r-- root/root .* ./usr/share/man/man1/quentra-reports.1.gz" \
             "-rw-r--r-- root/root .* ./usr/share/doc/quentra-reports/copyright" \
             "-rw-r--r-- root/root .* ./usr/share/doc/quentra-reports/changelog.Debian.gz"; do
  grep -q -- "^$entry\$" "$out/contents" || fail "no '$entry' in the package:
$(cat "$out/contents")"
done
# Nothing outside the package's own places.
if grep -v -E ' \./(|etc/|etc/default/|etc/logrotate\.d/|lib/|lib/systemd/|lib/systemd/system/|usr/|usr/bin/|usr/share/|usr/share/doc/|usr/share/doc/quentra-reports/.*|usr/share/man/|usr/share/man/man1/|usr/share/man/man1/quentra-reports\.1\.gz|usr/share/lintian/|usr/share/lintian/overrides/|usr/share/lintian/overrides/quentra-reports|etc/default/quentra-reports|etc/logrotate\.d/quentra-reports|lib/systemd/system/quentra-reports\.service|usr/bin/quentra-reports)$' "$out/contents"; then
  fail "files above are not the receiver's"
fi

dpkg-deb -e "$deb" "$out/control"
grep -q '^Depends: .*adduser' "$out/control/control" || fail "adduser is not a dependency"
for lib in libsqlite3-0 libpq5; do
  grep -q "^Depends: .*$lib" "$out/control/control" || fail "$lib is not a dependency"
done
for conf in /etc/default/quentra-reports /etc/logrotate.d/quentra-reports; do
  grep -qx "$conf" "$out/control/conffiles" || fail "$conf is not a conffile: an upgrade would overwrite its settings"
done
grep -q 'adduser --system --group --home /var/lib/quentra-reports' "$out/control/postinst" || fail "postinst makes no user"
for script in postinst prerm postrm; do sh -n "$out/control/$script" || fail "$script does not parse"; done

dpkg-deb -x "$deb" "$out/root"
unit="$out/root/lib/systemd/system/quentra-reports.service"
# Who runs it, with what, and with no privilege at all; a usage error (exit
# status 2) is not restarted for ever.
for line in User=quentra-reports Group=quentra-reports EnvironmentFile=/etc/default/quentra-reports \
            StateDirectory=quentra-reports WorkingDirectory=/var/lib/quentra-reports \
            'ExecStart=/usr/bin/quentra-reports serve --db ${QUENTRA_REPORTS_DB} --listen ${QUENTRA_REPORTS_LISTEN} $QUENTRA_REPORTS_OPTIONS' \
            Restart=on-failure RestartPreventExitStatus=2 CapabilityBoundingSet= SystemCallFilter=@system-service \
            RestrictNamespaces=yes MemoryDenyWriteExecute=yes LockPersonality=yes NoNewPrivileges=yes; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
# The documents Debian's users look for: the man page (from --help, with the
# exit status), the copyright, and the changelog of this very version.
version=$(sed -n 's/^Version: //p' "$out/control/control")
gzip -dc "$out/root/usr/share/man/man1/quentra-reports.1.gz" >"$out/man"
for text in '^\.TH QUENTRA-REPORTS "1"' 'quentra\\-reports serve' 'quentra\\-reports import' 'quentra\\-reports summary' \
            '^\.SH "EXIT STATUS"' '^/etc/default/quentra-reports$'; do
  grep -qE -- "$text" "$out/man" || fail "the man page lacks $text"
done
head -n 1 "$out/root/usr/share/doc/quentra-reports/copyright" | grep -qF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in Debian's machine-readable format"
gzip -dc "$out/root/usr/share/doc/quentra-reports/changelog.Debian.gz" | head -n 1 | grep -qF "quentra-reports ($version) " ||
  fail "changelog.Debian.gz does not start with this version, $version"
grep -q '^#   QUENTRA_REPORTS_DB=postgresql://' "$out/root/etc/default/quentra-reports" ||
  fail "/etc/default/quentra-reports does not say that the database may be a PostgreSQL string"
# The settings the unit reads, as the package ships them.
(
  . "$out/root/etc/default/quentra-reports"
  [ "$QUENTRA_REPORTS_DB" = /var/lib/quentra-reports/reports.db ] || fail "database $QUENTRA_REPORTS_DB"
  [ "$QUENTRA_REPORTS_LISTEN" = 127.0.0.1:47631 ] || fail "listen address $QUENTRA_REPORTS_LISTEN"
  "$out/root/usr/bin/quentra-reports" serve --help >/dev/null || fail "the packaged program does not run"
)
if command -v systemd-analyze >/dev/null; then
  # verify wants ExecStart's program and the man page in place: the unpacked
  # ones stand in.
  mkdir "$out/unit"
  sed "s|/usr/bin/quentra-reports|$out/root/usr/bin/quentra-reports|" "$unit" >"$out/unit/quentra-reports.service"
  said=$(MANPATH=$out/root/usr/share/man systemd-analyze verify "$out/unit/quentra-reports.service" 2>&1) ||
    fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
  # The exposure systemd gives the unit, 0 to 10: at most 2.0 ("OK").
  said=$(systemd-analyze security --offline=true --threshold=20 "$out/unit/quentra-reports.service" 2>&1) ||
    fail "systemd-analyze security: the unit's exposure is above 2.0:
$said"
  echo "check-package: $(printf '%s\n' "$said" | grep -o 'Overall exposure level.*')"
else
  echo "check-package: systemd-analyze is not installed; the unit was not verified"
fi
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$out/lintian" 2>&1 ||
    fail "lintian: $(grep -v 'running with root privileges' "$out/lintian")"
  echo "check-package: lintian finds no error and no warning"
else
  echo "check-package: lintian is not installed; the package was not linted"
fi
echo "check-package: $(basename "$deb") is sound"
