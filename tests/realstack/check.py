#!/usr/bin/env python3
"""Decides the real-stack scenarios from what the guest left (tools/realstack/results.py reads
it). Prints figures and one PASS/FAIL line per scenario; exit status 1 when one fails."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / 'tools' / 'realstack'))
from results import (ev, at, node_lines, steady_records, statuses, back_after, seconds,  # noqa: E402
                     scans, adv_reports, hcis)

failed = []


def verdict(scenario, ok, text):
    print(f"{'PASS' if ok else 'FAIL'} {scenario}: {text}")
    failed.extend([] if ok else [scenario])


def steady(name, kind):
    start, end = at(name, 'steady-start'), at(name, 'steady-end')
    # The advertiser went up just before the start: the first second's window may miss it.
    records = steady_records(name, start + 1, end)
    windows = int((end - start - 1) // 2)
    s = scans(hcis(name)[0], start, end)
    gaps = [f'{(b[0] - a[0]) * 1000:.0f} ms' for a, b in zip(s, s[1:]) if not a[1] and b[1]]
    print(f'  {name}: packets per window {[d["packets"] for d in records]}; scan enables {sum(x[1] for x in s)}, '
          f'duplicate filter on in {sum(x[1] and x[2] for x in s)}; scan gaps off->on {gaps}')
    verdict(f'steady {kind}', windows > 0 and len(records) >= windows,
            f'a 10 Hz advertiser in {len(records)} windows of 2 s, wanted {windows} (one per window that ended)')


def beacon(name, kind):
    on = [line[20:] for line in node_lines(name) if ' beacon ' in line]
    other = hcis(name)[1]
    heard = adv_reports(other, at(name, 'beacon-start'), at(name, 'beacon-end'))
    # The listener UUID as it goes on the air: 128 bits, little-endian.
    uuid = any(bytes.fromhex('e8d2917c3a0fe4b16a4d2f9c118a5b7e') in data for data in heard)
    named = any(f'KVQ-{name}'.encode() in data for data in heard)
    verdict(f'beacon {kind}', uuid and named and f'beacon KVQ-{name} on' in on,
            f'heard by hci{other}: listener UUID {uuid}, name {named}; node said {on[:3]}')


def power(name, kind):
    words = statuses(name, at(name, 'power-off'), at(name, 'power-end'))
    back = back_after(name, at(name, 'power-on'))
    verdict(f'power cycle {kind}', 'bluetooth-off' in words and words[-1:] == ['listening'] and back is not None,
            f'statuses posted {words}; steady advertiser uploaded again {seconds(back)} after power on')


def restart(name, kind):
    kill, before = ev(name, 'restart-kill')
    after = ev(name, 'restart-adapter')[1]
    words = statuses(name, kill or 0, at(name, 'restart-end'))
    back = back_after(name, kill)
    ok = before == after and 'unsupported' not in words and words[-1:] == ['listening'] and back is not None
    verdict(f'bluetoothd restart {kind}', ok, f'adapter {before} -> {after}; statuses posted {words}; '
            f'steady advertiser uploaded again {seconds(back)} after the kill')


def wedge(name, kind):
    back = back_after(name, at(name, 'wedge'))
    said = [line[20:] for line in node_lines(name) if ' radio ' in line]
    ok = back is not None and back <= 120 and any('hears again' in line for line in said)
    verdict(f'wedged controller {kind}', ok, f'steady advertiser uploaded again {seconds(back)} after the wedge; '
            f'node said {said}')


def outsider():
    said = [line[20:] for line in node_lines('outsider') if ' status ' in line or ' beacon ' in line]
    heard = bool(steady_records('outsider', at('outsider', 'node-start'), at('outsider', 'node-stop')))
    verdict('user outside the bluetooth group', 'status needs-permission' in said or heard,
            f'node said {said}; steady advertiser heard: {heard}')


def early():
    before = statuses('early', at('early', 'node-start'), at('early', 'bluez-start'))
    back = back_after('early', at('early', 'bluez-start'))
    verdict('node started before bluetoothd', before[-1:] == ['unsupported'] and back is not None,
            f'statuses before bluetoothd {before}; steady advertiser uploaded {seconds(back)} after it started')


for name in ('ear5', 'outsider', 'early', 'ear5e', 'ear4'):
    if at(name, 'node-start') and not at(name, 'node-alive'):
        verdict(f'{name} alive', False, 'the node was not running at the end of its scenario')
steady('ear5', '5.x'), beacon('ear5', '5.x'), power('ear5', '5.x'), restart('ear5', '5.x'), wedge('ear5', '5.x')
outsider(), early()
restart('ear5e', '5.x, bluetoothd -E'), steady('ear5e', '5.x, bluetoothd -E')
steady('ear4', '4.x'), beacon('ear4', '4.x'), power('ear4', '4.x'), wedge('ear4', '4.x')
print(f'realstack: {len(failed)} scenario(s) failed' if failed else 'realstack: all scenarios passed')
sys.exit(1 if failed else 0)
