#!/usr/bin/env python3
"""Prints the figures of a long real-stack run (bench/realstack-long) from what the guest left:
the CPU per 1,000 reports of each consumer in a crowd, the minute samples of an hour with a
crowd, and the radio steps of the empty-room runs. CPU in ms of utime + stime."""
import sys
from pathlib import Path

out = Path(sys.argv[1])
TICK = 100  # clock ticks a second in the guest


def hour():
    rows = [list(map(int, line.split())) for line in (out / 'samples').read_text().splitlines()
            if line and not line.startswith('#')]
    if len(rows) < 3:
        print('hour: fewer than three samples')
        return False
    start = rows[0][0]
    print('| minute | device objects | RSS bluetoothd | RSS dbus-daemon | RSS ear | CPU bluetoothd | CPU dbus-daemon | CPU ear |')
    print('|---|---|---|---|---|---|---|---|')
    for prev, row in zip(rows, rows[1:]):
        minute = (row[0] - start) / 60
        cpu = [(b - a) / TICK / max(1, row[0] - prev[0]) * 100 for a, b in zip(prev[5:], row[5:])]
        print(f'| {minute:.0f} | {row[1]} | {row[2]} KiB | {row[3]} KiB | {row[4]} KiB | '
              + ' | '.join(f'{c:.1f} %' for c in cpu) + ' |')
    half = rows[len(rows) // 2]
    last = rows[-1]
    growth = [last[i] - half[i] for i in (2, 3, 4)]
    objects = [row[1] for row in rows[1:]]
    print(f'device objects: {min(objects)} to {max(objects)}; RSS growth over the second half '
          f'(minute {(half[0] - start) / 60:.0f} to {(last[0] - start) / 60:.0f}): bluetoothd {growth[0]:+} KiB, '
          f'dbus-daemon {growth[1]:+} KiB, ear {growth[2]:+} KiB')
    return all(g <= 1024 for g in growth)


def empty():
    ok = True
    for line in (out / 'events').read_text().splitlines():
        words = line.split()
        if len(words) == 6 and words[2] == 'restarts':
            print(f'{words[1]}: discovery restarts {words[3]}, power cycles {words[5]}')
            ok = ok and (words[1] != 'empty' or words[5] == '0')
    for name in ('empty', 'emptied'):
        log = out / f'{name}.node.log'
        if log.exists():
            for line in log.read_text(errors='replace').splitlines():
                if ' radio ' in line:
                    print(f'  {name}: {line}')
    return ok


def crowd():
    import json
    import statistics
    marks = {}
    for line in (out / 'crowd').read_text().splitlines():
        label, when, t, bt, bus, consumer, crowd_t, crowd_n = line.split()
        marks.setdefault(label, {})[when] = (float(t), [int(bt), int(bus), int(consumer)], float(crowd_t), int(crowd_n))
    print('| consumer | N | bluetoothd | dbus-daemon | consumer | sum | devices per 2 s window (median) '
          '| packets per device per window | device objects added / removed per s | reports per s |')
    print('|---|---|---|---|---|---|---|---|---|---|')
    for label, m in marks.items():
        if 'start' not in m or 'end' not in m:
            continue
        (t0, c0, ct0, n0), (t1, c1, ct1, n1) = m['start'], m['end']
        seconds = t1 - t0
        reports = (n1 - n0) * seconds / (ct1 - ct0) if ct1 > ct0 else 0
        per = [(b - a) * 1000 / TICK / max(reports / 1000, 1e-9) for a, b in zip(c0, c1)]
        consumer, size = label.rsplit('-', 1)
        size = int(size)
        shares, packets, records = [], 0, 0
        sink = out / f'{label}.sink.jsonl'
        if sink.exists():
            windows = {}
            for line in sink.read_text().splitlines():
                for d in json.loads(line)['body']['devices']:
                    if t0 + 2 < d['ts'] <= t1:
                        windows.setdefault(d['ts'], set()).add(d['id'])
                        packets += d['packets']
                        records += 1
            shares = [len(ids) / size * 100 for ids in windows.values()]
        objects = (out / f'{label}.objects').read_text().splitlines() if (out / f'{label}.objects').exists() else []
        added = sum('member=InterfacesAdded' in line for line in objects) / seconds
        removed = sum('member=InterfacesRemoved' in line for line in objects) / seconds
        share = f'{statistics.median(shares):.0f} % ({min(shares):.0f} to {max(shares):.0f})' if shares else '-'
        ppw = f'{packets / records:.2f}' if records else '-'
        print(f'| {consumer} | {size} | {per[0]:,.0f} | {per[1]:,.0f} | {per[2]:,.0f} | {sum(per):,.0f} | {share} '
              f'| {ppw} | {added:.1f} / {removed:.1f} | {reports / seconds:.0f} |')
    return True


ok = True
if (out / 'crowd').exists():
    ok = crowd() and ok
if (out / 'samples').exists():
    ok = hour() and ok
if (out / 'empty.node.log').exists():
    ok = empty() and ok
sys.exit(0 if ok else 1)
