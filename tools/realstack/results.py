"""Reads what the real-stack guest left in its results folder (tools/realstack/run.sh): the
event times the scenarios marked, per node run the sink's JSON log and the node's log, and
btmon's capture. Used by the scenarios' check and for the figures."""
import json
import struct
import sys
from pathlib import Path

out = Path(sys.argv[1])
events = [(float(t), rest.split()) for t, rest in
          (line.split(' ', 1) for line in (out / 'events').read_text().splitlines())]


def ev(name, tag):
    """The first event NAME TAG: (time, words after the tag), or (None, [])."""
    return next(((t, w[2:]) for t, w in events if w[:2] == [name, tag]), (None, []))


def at(name, tag):
    """The time of the first event NAME TAG, or 0 when there was none."""
    return ev(name, tag)[0] or 0


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


def back_after(name, after):
    """Seconds from AFTER to the first upload with the steady advertiser from a 2 s window that
    began after AFTER (an earlier window may hold what was heard before), or None."""
    return next((u['received_at'] - after for u in uploads(name) if after and any(
        d['name'] == 'Steady' and d['ts'] - 2 >= after for d in u['body']['devices'])), None)


def seconds(value):
    return 'never' if value is None else f'{value:.2f} s'


# btmon's capture (btsnoop, monitor link type): per record its lengths, flags (controller
# index << 16 | packet kind), drops and microseconds since year 0, then the HCI packet.
SNOOP_EPOCH = 0x00dcddb30f2f8000
COMMAND, EVENT = 2, 3
packets = []  # (seconds since 1970, controller index, kind, packet)
snoop = (out / 'btmon.snoop').read_bytes() if (out / 'btmon.snoop').exists() else b''
pos = 16
while pos + 24 <= len(snoop):
    _, incl, flags, _, stamp = struct.unpack_from('>IIIIq', snoop, pos)
    packets.append(((stamp - SNOOP_EPOCH) / 1e6, flags >> 16, flags & 0xffff, snoop[pos + 24:pos + 24 + incl]))
    pos += 24 + incl


def scans(hci, start, end):
    """The adapter's scan enables and disables in [start, end]: (time, on, filter_dup)."""
    # LE Set Scan Enable (0x200c) and LE Set Extended Scan Enable (0x2042): enable, filter_dup.
    return [(t, bool(p[3]), bool(p[4])) for t, i, kind, p in packets
            if i == hci and kind == COMMAND and start <= t <= end and p[:2] in (b'\x0c\x20', b'\x42\x20')]


def adv_reports(hci, start, end):
    """Advertising data heard by the adapter in [start, end], one bytes object per report."""
    found = []
    for t, i, kind, p in packets:
        if i != hci or kind != EVENT or not start <= t <= end or p[:1] != b'\x3e':
            continue
        if p[2] == 0x02:  # LE Advertising Report: type, address type, address, length, data
            found.append(p[13:13 + p[12]])
        elif p[2] == 0x0d:  # LE Extended Advertising Report: data length at 27, data after
            found.append(p[28:28 + p[27]])
    return found


def hcis(name):
    words = ev(name, 'on')[1]
    return (int(words[0][3:]), int(words[2][3:])) if words else (None, None)


