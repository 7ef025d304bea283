#!/bin/sh
# Builds the receiver's Debian package with CPack and checks it: its files,
# owners and modes, the control data (dependencies, conffiles, the user made
# at install), the settings the unit reads, and the unit itself
# (systemd-analyze verify, where it is installed). Nothing is installed.
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
             "-rw-r--r-- root/root .* ./etc/logrotate.d/quentra-reports"; do
  grep -q -- "^$entry\$" "$out/contents" || fail "no '$entry' in the package:
$(cat "$out/contents")"
done
# Nothing outside the package's own places.
if grep -v -E ' \./(|etc/|etc/default/|etc/logrotate\.d/|lib/|lib/systemd/|lib/systemd/system/|usr/|usr/bin/|usr/share/|usr/share/doc/|usr/share/doc/quentra-reports/.*|etc/default/quentra-reports|etc/logrotate\.d/quentra-reports|lib/systemd/system/quentra-reports\.service|usr/bin/quentra-reports)$' "$out/contents"; then
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
for line in User=quentra-reports Group=quentra-reports EnvironmentFile=/etc/default/quentra-reports \
            StateDirectory=quentra-reports WorkingDirectory=/var/lib/quentra-reports \
            'ExecStart=/usr/bin/quentra-reports serve --db ${QUENTRA_REPORTS_DB} --listen ${QUENTRA_REPORTS_LISTEN} $QUENTRA_REPORTS_OPTIONS'; do
  grep -qxF "$line" "$unit" || fail "the unit lacks $line"
done
# The settings the unit reads, as the package ships them.
(
  . "$out/root/etc/default/quentra-reports"
  [ "$QUENTRA_REPORTS_DB" = /var/lib/quentra-reports/reports.db ] || fail "database $QUENTRA_REPORTS_DB"
  [ "$QUENTRA_REPORTS_LISTEN" = 127.0.0.1:47631 ] || fail "listen address $QUENTRA_REPORTS_LISTEN"
  "$out/root/usr/bin/quentra-reports" serve --help >/dev/null || fail "the packaged program does not run"
)
if command -v systemd-analyze >/dev/null; then
  # verify wants ExecStart's program in place: the unpacked one stands in.
  mkdir "$out/unit"
  sed "s|/usr/bin/quentra-reports|$out/root/usr/bin/quentra-reports|" "$unit" >"$out/unit/quentra-reports.service"
  said=$(systemd-analyze verify "$out/unit/quentra-reports.service" 2>&1) || fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
else
  echo "check-package: systemd-analyze is not installed; the unit was not verified"
fi
echo "check-package: $(basename "$deb") is sound"
