#!/usr/bin/env bash
# The systemd unit the package ships: `systemd-analyze verify` passes with the program of this
# build in place, and the unit's exposure stays at 2.0 or below.
# Usage: unit_file_test.sh UNIT PROGRAM. Exit 77 (skipped) without systemd-analyze.
set -euo pipefail
unit=$1 program=$2
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d /tmp/brelo-unit-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

# shellcheck disable=SC2016  # the unit's own text, with systemd's variable
grep -qx 'ExecStart=/usr/bin/brelo-ble $BRELO_ARGS' "$unit" || fail "unit ExecStart"
grep -qx 'Type=notify' "$unit" && grep -q '^WatchdogSec=' "$unit" || fail "unit does not wait for READY=1 or lacks the watchdog"
# verify wants the program at the path the unit names; point it at this build's. The manual
# page the unit names comes with the package, so it is not looked for here.
sed "s#^ExecStart=/usr/bin/brelo-ble#ExecStart=$program#" "$unit" >"$work/brelo-ble.service"
systemd-analyze verify --man=no "$work/brelo-ble.service" || fail "systemd-analyze verify"

security=$(systemd-analyze security --offline=true "$work/brelo-ble.service" 2>&1 || true)
exposure=$(sed -n 's/.*Overall exposure level for brelo-ble.service: \([0-9.]*\).*/\1/p' <<<"$security")
[ -n "$exposure" ] || { echo "$security"; fail "no exposure figure from systemd-analyze security"; }
echo "exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure $exposure is above 2.0"
echo "PASS"
