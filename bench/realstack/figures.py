#!/usr/bin/env python3
"""Prints the figures of a long real-stack run (bench/realstack-long) from what the guest left:
the minute samples of an hour with a crowd, and the radio steps of the empty-room runs."""
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


ok = True
if (out / 'samples').exists():
    ok = hour() and ok
if (out / 'empty.node.log').exists():
    ok = empty() and ok
sys.exit(0 if ok else 1)
