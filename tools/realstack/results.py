"""Reads what the real-stack guest left in its results folder (tools/realstack/run.sh): the
event times the scenarios marked, per node run the sink's JSON log and the node's log, and
btmon's text. Used by the scenarios' check and for the figures."""
import json
import re
import sys
from pathlib import Path

out = Path(sys.argv[1])
events = [(float(t), rest.split()) for t, rest in
          (line.split(' ', 1) for line in (out / 'events').read_text().splitlines())]


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


