#!/usr/bin/env python3
"""Decides the real-stack scenarios from what the guest left in its results folder: event
times (events), per node run the sink's JSON log and the node's log, and btmon's text.
Prints figures and one PASS/FAIL line per scenario; exit status 1 when one fails."""
import json
import re
import statistics
import sys
from pathlib import Path

out = Path(sys.argv[1])
events = [(float(t), rest.split()) for t, rest in
          (line.split(' ', 1) for line in (out / 'events').read_text().splitlines())]
failed = []


def ev(name, tag):
    """The first event NAME TAG: (time, words after the tag), or (None, [])."""
    return next(((t, w[2:]) for t, w in events if w[:2] == [name, tag]), (None, []))


def uploads(name):
    path = out / f'{name}.sink.jsonl'
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def node_lines(name):
    path = out / f'{name}.node.log'
    return path.read_text(errors='replace').splitlines() if path.exists() else []


def steady_records(name, start, end):
    """Records of the steady advertiser whose window ended in (start, end]."""
    return [d for u in uploads(name) for d in u['body']['devices']
            if d['name'] == 'Steady' and start < d['ts'] <= end]


def statuses(name, start, end):
    """Status words of the uploads received in [start, end], repeats folded."""
    words = []
    for u in uploads(name):
        if start <= u['received_at'] <= end and (not words or words[-1] != u['body']['status']):
            words.append(u['body']['status'])
    return words


def first_upload(name, after, test):
    return next((u['received_at'] - after for u in uploads(name)
                 if u['received_at'] >= after and test(u['body'])), None)


def verdict(scenario, ok, text):
    print(f"{'PASS' if ok else 'FAIL'} {scenario}: {text}")
    if not ok:
        failed.append(scenario)


# btmon -t: a header line per packet ("< HCI Command: ... [hci0] 23:59:59.123456"), then its
# decoded fields indented. Times of day become seconds since 1970 on the day of the run.
day = int(events[0][0]) // 86400 * 86400
packets = []  # (time, hci index, text of the packet)
for line in (out / 'btmon.txt').read_text(errors='replace').splitlines():
    m = re.search(r'\[hci(\d+)\] (\d\d):(\d\d):(\d\d\.\d+)$', line)
    if m and line[:1] in '<>@=':
        t = day + int(m[2]) * 3600 + int(m[3]) * 60 + float(m[4])
        packets.append([t + 86400 if t < events[0][0] - 3600 else t, int(m[1]), line])
    elif packets:
        packets[-1][2] += '\n' + line


def scans(hci, start, end):
    """The node adapter's scan enables and disables in [start, end]: (time, on, filter_dup)."""
    return [(t, 'Enabled (0x01)' in text.split('\n')[1], 'Filter duplicates: Enabled' in text)
            for t, i, text in packets
            if i == hci and start <= t <= end and 'Scan Enable (' in text.split('\n')[0]
            and text.startswith('<')]


def hcis(name):
    words = ev(name, 'on')[1]
    return (int(words[0][3:]), int(words[2][3:])) if words else (None, None)


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
    heard = [text.lower() for t, i, text in packets if i == other and start and start <= t <= end and text.startswith('>')]
    uuid = any('7e5b8a11-9c2f-4d6a-b1e4-0f3a7c91d2e8' in text for text in heard)
    named = any(f'kvq-{name}' in text for text in heard)
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
