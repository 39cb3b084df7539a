#!/usr/bin/env bash
# Builds the Debian package from a build tree and checks it: the files and where they go,
# the conffile, the maintainer scripts, that its unit passes `systemd-analyze verify` with
# the packaged program in place, and that the unit's exposure stays at 2.0 or below.
# Usage: package_test.sh BUILD_DIR. Exit 77 (skipped) when the tools are missing.
set -euo pipefail
build=$1

for tool in cpack dpkg-deb systemd-analyze; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d /tmp/brelo-package-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack did not build the package"; }
shopt -s nullglob
debs=("$work"/out/brelo-ble_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one brelo-ble_*.deb, found ${#debs[@]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

contents=$(dpkg-deb -c "$deb" | awk '{print $1, $6}')
echo "$contents"
expect_file() {  # expect_file MODE PATH
    grep -qx -- "$1 ./$2" <<<"$contents" || fail "package lacks $2 with mode $1"
}
expect_file -rwxr-xr-x usr/bin/brelo-ble
expect_file -rw-r--r-- lib/systemd/system/brelo-ble.service
expect_file -rw-r--r-- etc/default/brelo-ble
expect_file -rw-r--r-- usr/share/doc/brelo-ble/README.md
if grep -q -e 'usr/local' -e 'fake-bluez' -e 'brelo-sink' <<<"$contents"; then
    fail "package holds files it should not"
fi

dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/default/brelo-ble "$work/control/conffiles" || fail "/etc/default/brelo-ble is not a conffile"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "$script missing or not executable"
    sh -n "$work/control/$script" || fail "$script is not valid sh"
done
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = brelo-ble ] || fail "package name"
[ "$(field Description | head -1)" = "House Brelo Bluetooth ear" ] || fail "summary is not the bundle name"
for dep in libsystemd0 libcurl4 libuuid1 libunistring2; do
    grep -q "$dep" <<<"$(field Depends)" || fail "Depends lacks $dep"
done
grep -q bluez <<<"$(field Recommends)" || fail "Recommends lacks bluez"

dpkg-deb -x "$deb" "$work/root"
unit="$work/root/lib/systemd/system/brelo-ble.service"
grep -qx 'Description=House Brelo Bluetooth ear' "$unit" || fail "unit Description"
# shellcheck disable=SC2016  # the unit's own text, with systemd's variable
grep -qx 'ExecStart=/usr/bin/brelo-ble $BRELO_ARGS' "$unit" || fail "unit ExecStart"
# verify wants the program at the path the unit names; point it at the packaged one.
sed "s#^ExecStart=/usr/bin/brelo-ble#ExecStart=$work/root/usr/bin/brelo-ble#" "$unit" >"$work/brelo-ble.service"
systemd-analyze verify "$work/brelo-ble.service" || fail "systemd-analyze verify"

security=$(systemd-analyze security --offline=true "$work/brelo-ble.service" 2>&1 || true)
exposure=$(sed -n 's/.*Overall exposure level for brelo-ble.service: \([0-9.]*\).*/\1/p' <<<"$security")
[ -n "$exposure" ] || { echo "$security"; fail "no exposure figure from systemd-analyze security"; }
echo "exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure $exposure is above 2.0"
echo "PASS"
