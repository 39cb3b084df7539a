#!/usr/bin/env python3
"""Decides the real-stack scenarios from what the guest left in its results folder: event
times (events), per node run the sink's JSON log and the node's log, and btmon's text.
Prints figures and one PASS/FAIL line per scenario; exit status 1 when one fails."""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / 'tools' / 'realstack'))
from results import (events, ev, uploads, node_lines, steady_records, statuses,  # noqa: E402
                     first_upload, scans, adv_reports, hcis)

failed = []


def verdict(scenario, ok, text):
    print(f"{'PASS' if ok else 'FAIL'} {scenario}: {text}")
    if not ok:
        failed.append(scenario)


def steady(name, kind):
    start, _ = ev(name, 'steady-start')
    end, _ = ev(name, 'steady-end')
    if start is None:
        return verdict(f'steady {kind}', False, 'did not run')
    # The advertiser went up just before the start: the window ending in the first second
    # may be too short to have heard it.
    records = steady_records(name, start + 1, end)
    windows = int((end - start - 1) // 2)
    node_hci, _ = hcis(name)
    s = scans(node_hci, start, end)
    gaps = [b[0] - a[0] for a, b in zip(s, s[1:]) if not a[1] and b[1]]
    print(f'  {name}: packets per window {[d["packets"] for d in records]}; scan enables {sum(1 for x in s if x[1])}, '
          f'duplicate filter on in {sum(1 for x in s if x[1] and x[2])}; '
          f'scan gaps off->on {", ".join(f"{g * 1000:.0f} ms" for g in gaps) or "none"}')
    verdict(f'steady {kind}', len(records) >= windows,
            f'a 10 Hz advertiser heard in {len(records)} of {windows} windows of 2 s')


def beacon(name, kind):
    start, _ = ev(name, 'beacon-start')
    end, _ = ev(name, 'beacon-end')
    on = [line for line in node_lines(name) if ' beacon ' in line]
    _, other = hcis(name)
    heard = adv_reports(other, start or 0, end or 0)
    # The listener UUID as it goes on the air: 128 bits, little-endian.
    uuid = any(bytes.fromhex('e8d2917c3a0fe4b16a4d2f9c118a5b7e') in data for data in heard)
    named = any(f'KVQ-{name}'.encode() in data for data in heard)
    ok = uuid and named and any(line.endswith(f'beacon KVQ-{name} on') for line in on)
    verdict(f'beacon {kind}', ok, f'heard by hci{other}: listener UUID {uuid}, name {named}; node said: '
            + ' | '.join(line[20:] for line in on[:3]))


def power(name, kind):
    off, _ = ev(name, 'power-off')
    on, _ = ev(name, 'power-on')
    end, _ = ev(name, 'power-end')
    words = statuses(name, off or 0, end or 0)
    back = first_upload(name, on or 0, lambda b: any(d['name'] == 'Steady' for d in b['devices']))
    ok = 'bluetooth-off' in words and words[-1:] == ['listening'] and back is not None
    verdict(f'power cycle {kind}', ok, f'statuses posted {words}; steady advertiser uploaded again '
            + (f'{back:.2f} s after power on' if back is not None else 'never'))


def restart(name, kind):
    kill, before = ev(name, 'restart-kill')
    end, _ = ev(name, 'restart-end')
    _, after = ev(name, 'restart-adapter')
    words = statuses(name, kill or 0, end or 0)
    back = first_upload(name, kill or 0, lambda b: any(d['name'] == 'Steady' for d in b['devices']))
    ok = before == after and 'unsupported' not in words and words[-1:] == ['listening'] and back is not None
    verdict(f'bluetoothd restart {kind}', ok, f'adapter {before} -> {after}; statuses posted {words}; '
            'steady advertiser uploaded again ' + (f'{back:.2f} s after the kill' if back is not None else 'never'))


def outsider():
    start, _ = ev('outsider', 'node-start')
    said = [line[20:] for line in node_lines('outsider') if ' status ' in line or ' beacon ' in line]
    alive = ev('outsider', 'node-alive')[0] is not None
    end, _ = ev('outsider', 'steady-end')
    heard = bool(steady_records('outsider', start or 0, end or 0))
    ok = alive and (('status needs-permission' in said) or ('status listening' in said and heard))
    verdict('user outside the bluetooth group', ok, f'node said {said}; steady advertiser heard: {heard}')


def early():
    start, _ = ev('early', 'node-start')
    bluez = next((t for t, w in events if w[0] == 'bluetoothd-start' and start and t > start), None)
    before = statuses('early', start or 0, bluez or 0)
    back = first_upload('early', bluez or 0, lambda b: any(d['name'] == 'Steady' for d in b['devices']))
    ok = before[-1:] == ['unsupported'] and back is not None
    verdict('node started before bluetoothd', ok, f'statuses before bluetoothd {before}; steady advertiser uploaded '
            + (f'{back:.2f} s after bluetoothd started' if back is not None else 'never'))


for name in ('ear5', 'outsider', 'early', 'ear5e', 'ear4'):
    if ev(name, 'node-start')[0] is not None and ev(name, 'node-alive')[0] is None:
        verdict(f'{name} alive', False, 'the node was not running at the end of its scenario')
steady('ear5', '5.x')
beacon('ear5', '5.x')
power('ear5', '5.x')
restart('ear5', '5.x')
outsider()
early()
steady('ear5e', '5.x, bluetoothd -E')
steady('ear4', '4.x')
beacon('ear4', '4.x')
power('ear4', '4.x')
print(f'realstack: {len(failed)} scenario(s) failed' if failed else 'realstack: all scenarios passed')
sys.exit(1 if failed else 0)
