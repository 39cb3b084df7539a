#!/usr/bin/python3
"""End-to-end figures for bench/run: brelo-ble against the naive floor and a Python peer.

Every run has a private dbus-daemon of its own (bench/bus.conf, never the machine's
system bus) with tools/fake_bluez as org.bluez. A flood of BlueZ PropertiesChanged
signals (RSSI and ManufacturerData, 50 devices) goes to one consumer at a time:
  node   brelo-ble, uploading to tools/brelo_sink, whose JSON log gives the reports
         counted (the sum of "packets" over distinct records);
  noop   bench/peers/noop_consumer: sd-bus + sd-event, one wake-up per signal;
  bleak  bench/peers/bleak_peer.py: Debian's python3-bleak doing the node's aggregation.
CPU per report is the consumer's run time over the flood (from /proc) divided by the
reports it counted. The memory run sends 1,000,000 reports from 100,000 addresses that
come and go like phones' and samples the node's RSS at every 10%.

Usage: e2e.py --build DIR [--runs N] [--smoke] [--json FILE] [--skip-memory]
Exit status: 0 when every run completed and the node lost no report; 1 otherwise;
77 when dbus-daemon is missing (a skip for ctest).
"""

import argparse
import glob
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # Debian's, where python3-bleak lives
CLOCK_TICK = os.sysconf("SC_CLK_TCK")
NODE = None
# "Flat": the floor grows by less than about two thirds of a byte per report.
FLAT_KIB_PER_100K = 64  # another brelo-ble to measure (--node), e.g. to compare two builds


def log(text):
    print(text, file=sys.stderr, flush=True)


class Failure(Exception):
    pass


class Child:
    """A process started by the bench, its output read line by line on a thread, stopped
    by its pid. Lines that match `count_prefix` are only counted (the flood prints one
    line per advert)."""

    def __init__(self, name, argv, env=None, stdin=False, count_prefix=None):
        self.name = name
        self.lines = []
        self.counted = 0
        self.count_prefix = count_prefix
        self.cond = threading.Condition()
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=full_env,
                                     start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    @property
    def pid(self):
        return self.proc.pid

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            with self.cond:
                if self.count_prefix and line.startswith(self.count_prefix):
                    self.counted += 1
                else:
                    self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_for(self, pred, timeout, start=0):
        """The first line from index `start` on for which pred holds; Failure on time-out."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if pred(self.lines[i]):
                        return i, self.lines[i]
                start = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    raise Failure(f"{self.name}: no line expected within {timeout} s; last lines: "
                                  f"{self.lines[-5:]}")
                self.cond.wait(min(left, 0.5))

    def write(self, text):
        self.proc.stdin.write(text.encode())
        self.proc.stdin.flush()

    def signal(self, sig):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        self.reader.join(5)


def cpu_seconds(pid):
    """Run time of the process so far. /proc/PID/stat gives it (utime + stime) in clock
    ticks; the per-thread schedstat gives the same run time in nanoseconds, which the
    short runs need. A thread that has ended counts only in stat, so the larger wins
    when they differ by more than the ticks' rounding."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = (int(fields[11]) + int(fields[12])) / CLOCK_TICK
    precise = 0.0
    for path in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(path) as f:
                precise += int(f.read().split()[0]) / 1e9
        except (OSError, ValueError, IndexError):
            pass
    return (ticks, precise)


def cpu_between(before, after):
    ticks = after[0] - before[0]
    precise = after[1] - before[1]
    if precise > 0 and ticks <= precise + 2.0 / CLOCK_TICK:
        return precise
    return ticks


def memory_kib(pid, anon=False):
    """VmRSS and VmHWM (peak RSS) from /proc/PID/status, and with anon=True RssAnon, the
    part that is the process's own memory rather than pages of its shared libraries."""
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "RssAnon"):
                values[key] = int(rest.split()[0])
    if anon:
        return values.get("VmRSS", 0), values.get("VmHWM", 0), values.get("RssAnon", 0)
    return values.get("VmRSS", 0), values.get("VmHWM", 0)


class SinkLog:
    """Reads brelo-sink's JSON log as it grows: the reports counted are the "packets" of
    every distinct record (id, ts) the sink accepted, so a replayed record counts once."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = b""
        self.records = set()
        self.packets = 0
        self.uploads = 0
        self.refused = 0

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return self.packets
        self.offset += len(data)
        data = self.partial + data
        lines = data.split(b"\n")
        self.partial = lines.pop()
        for line in lines:
            if not line.strip():
                continue
            entry = json.loads(line)
            self.uploads += 1
            if not 200 <= int(entry.get("answer", 0)) <= 299:
                self.refused += 1
                continue
            body = entry.get("body")
            if isinstance(body, str):
                body = json.loads(body)
            for device in body.get("devices", []):
                key = (device.get("id"), device.get("ts"))
                if key not in self.records:
                    self.records.add(key)
                    self.packets += int(device.get("packets", 0))
        return self.packets


class Bench:
    def __init__(self, build, tmp):
        self.build = build
        self.tmp = tmp
        self.children = []

    def path(self, relative):
        p = os.path.join(self.build, relative)
        if not os.path.exists(p):
            raise Failure(f"missing {p}: build it first")
        return p

    def start(self, *args, **kwargs):
        child = Child(*args, **kwargs)
        self.children.append(child)
        return child

    def stop_all(self):
        while self.children:
            self.children.pop().stop()

    def start_bus(self):
        bus = self.start("dbus-daemon", ["dbus-daemon", "--nofork", "--config-file=" + os.path.join(HERE, "bus.conf"),
                                         "--print-address=1"])
        _, address = bus.wait_for(lambda l: l.startswith("unix:"), 10)
        return address

    def start_bluez(self, address, devices=0):
        bluez = self.start("fake-bluez", [self.path("tools/fake_bluez/fake-bluez"), "--bus", address], stdin=True,
                           count_prefix="advert ")
        bluez.wait_for(lambda l: l == "ready", 10)
        script = ["adapter add hci0"]
        # The flood's devices exist before the flood (as BlueZ's cache would hold them), so
        # every advert is one PropertiesChanged for every consumer alike.
        script += [f"device add hci0 F0:00:00:{(i >> 16) & 255:02X}:{(i >> 8) & 255:02X}:{i & 255:02X}"
                   for i in range(devices)]
        script.append("echo devices-ready")
        bluez.write("\n".join(script) + "\n")
        bluez.wait_for(lambda l: l == "devices-ready", 30)
        return bluez

    def start_consumer(self, kind, address, bluez):
        env = {"DBUS_SYSTEM_BUS_ADDRESS": address}
        mark = len(bluez.lines)
        sink_log = None
        sink = None
        if kind == "node":
            log_path = os.path.join(self.tmp, f"sink-{time.monotonic_ns()}.jsonl")
            sink = self.start("brelo-sink", [self.path("tools/brelo_sink/brelo-sink"), "--listen", "127.0.0.1:0",
                                             "--quiet", "--json-log", log_path])
            _, line = sink.wait_for(lambda l: "listening on http://" in l, 10)
            url = line.split("listening on ", 1)[1].split()[0]
            consumer = self.start("brelo-ble", [NODE or self.path("brelo-ble"), "--brelo", url, "--node", "bench"],
                                  env=env)
            sink_log = SinkLog(log_path)
        elif kind == "noop":
            consumer = self.start("noop", [self.path("bench/brelo_noop_consumer")], env=env)
            consumer.wait_for(lambda l: l == "ready", 10)
        elif kind == "bleak":
            consumer = self.start("bleak", [PYTHON, os.path.join(HERE, "peers", "bleak_peer.py")], env=env)
            consumer.wait_for(lambda l: l == "ready", 30)
        else:
            raise ValueError(kind)
        bluez.wait_for(lambda l: l.startswith("discovery start "), 30, start=mark)
        return consumer, sink, sink_log


def peer_count(consumer, timeout=2.0):
    """Asks a reference peer for its counts (SIGUSR1); its accepted reports."""
    mark = len(consumer.lines)
    consumer.signal(signal.SIGUSR1)
    _, line = consumer.wait_for(lambda l: l.startswith("count "), timeout, start=mark)
    words = line.split()
    return int(words[words.index("reports") + 1])


def settle(counter, expected, quiet_s, deadline_s):
    """Polls counter() until it reaches expected, or stays unchanged for quiet_s, or
    deadline_s passes. The last value."""
    start = time.monotonic()
    last = counter()
    changed = start
    while last < expected:
        now = time.monotonic()
        if now - changed >= quiet_s or now - start >= deadline_s:
            break
        time.sleep(0.1)
        value = counter()
        if value != last:
            last = value
            changed = time.monotonic()
    return last


def flood_run(build, tmp, kind, rate, count, devices=50):
    """One consumer on one flood. rate None: as fast as the double and the bus go."""
    bench = Bench(build, tmp)
    try:
        address = bench.start_bus()
        bluez = bench.start_bluez(address, devices)
        consumer, sink, sink_log = bench.start_consumer(kind, address, bluez)
        if kind == "node":
            counter = sink_log.poll
        else:
            def counter():
                return peer_count(consumer)
        # Let start-up (object cache, first flush) pass before the clock starts.
        time.sleep(0.5)
        before = cpu_seconds(consumer.pid)
        started = time.monotonic()
        mark = len(bluez.lines)
        flood_rate = rate if rate else 100_000_000
        bluez.write(f"flood {flood_rate} {devices} {count}\n")
        _, line = bluez.wait_for(lambda l: l.startswith("flood sent "), max(30, 3 * count / (rate or 20000)),
                                 start=mark)
        sent = int(line.split()[2])
        sent_at = time.monotonic()
        # The node uploads every 2 s; the peers count as they go.
        counted = settle(counter, sent, quiet_s=5.0 if kind == "node" else 2.0, deadline_s=120)
        finished = time.monotonic()
        after = cpu_seconds(consumer.pid)
        rss, hwm = memory_kib(consumer.pid)
        cpu = cpu_between(before, after)
        result = {
            "consumer": kind, "rate": rate or "max", "sent": sent, "counted": counted, "lost": sent - counted,
            "cpu_s": cpu, "cpu_us_per_report": 1e6 * cpu / counted if counted else None,
            "flood_s": sent_at - started, "drain_s": finished - sent_at,
            "rss_kib": rss, "hwm_kib": hwm,
        }
        if kind == "node":
            result["uploads"] = sink_log.uploads
            result["refused"] = sink_log.refused
        return result
    finally:
        bench.stop_all()


def memory_run(build, tmp, reports=1_000_000, addresses=100_000, active=50, steps=10):
    """1,000,000 reports from 100,000 addresses: 50 are heard at a time, each for 10
    adverts, then replaced by a new one; BlueZ forgets a device a while after it was last
    heard (InterfacesRemoved), as it does for phones that rotate their address. The adverts
    go as fast as the double and the node take them. The node's RSS is read every 50 ms:
    for each tenth of the reports, its value when the sink had counted that tenth, and its
    floor (the lowest reading while that tenth went through, what the node returns to
    after each upload). The final RSS is the floor over the 2.5 s after the last report
    was counted, once the last window has been flushed and its memory handed back."""
    per_address = reports // addresses
    block = active * per_address  # adverts after which all active addresses have rotated
    step = reports // steps
    chunk = max(1, min(20_000, step))

    def addr(n):
        return f"E0:00:00:{(n >> 16) & 255:02X}:{(n >> 8) & 255:02X}:{n & 255:02X}"

    def script(first, last):
        lines = []
        for i in range(first, last):
            blk, within = divmod(i, block)
            n = blk * active + within % active
            lines.append(f"advert hci0 {addr(n)} rssi={-40 - (i * 7) % 50} mfg=ffff:{i & 0xffffffff:08x}")
            # Forget the addresses of the block before last once this block has ended.
            if within == block - 1 and blk >= 2:
                lines += [f"device remove hci0 {addr((blk - 2) * active + k)}" for k in range(active)]
        return "\n".join(lines) + "\n"

    bench = Bench(build, tmp)
    try:
        address = bench.start_bus()
        bluez = bench.start_bluez(address)
        consumer, sink, sink_log = bench.start_consumer("node", address, bluez)
        time.sleep(0.5)
        before = cpu_seconds(consumer.pid)
        started = time.monotonic()
        samples = []
        written = 0
        counted = 0
        floor = None
        last_progress = time.monotonic()
        while len(samples) < steps:
            # Keep the double a little ahead, without queueing the whole run in it.
            if written < reports and written - bluez.counted < 2 * chunk:
                bluez.write(script(written, min(reports, written + chunk)))
                written = min(reports, written + chunk)
            value = sink_log.poll()
            if value != counted:
                counted = value
                last_progress = time.monotonic()
            rss, hwm, anon = memory_kib(consumer.pid, anon=True)
            floor = rss if floor is None else min(floor, rss)
            while counted >= (len(samples) + 1) * step and len(samples) < steps:
                samples.append({"reports": (len(samples) + 1) * step, "rss_kib": rss, "floor_kib": floor,
                                "anon_kib": anon, "hwm_kib": hwm, "elapsed_s": time.monotonic() - started})
                log(f"  memory {100 * len(samples) // steps:3d}%: RSS {rss} KiB (anonymous {anon} KiB), "
                    f"floor {floor} KiB")
                floor = rss
            if time.monotonic() - last_progress > 10 and written >= reports:
                break  # nothing more arrives: reports were lost
            time.sleep(0.05)
        # The last window is flushed within 2 s of its last report; the tick after hands
        # its memory back.
        final = None
        end = time.monotonic() + 2.5
        while time.monotonic() < end:
            rss, hwm = memory_kib(consumer.pid)
            final = rss if final is None else min(final, rss)
            time.sleep(0.05)
        after = cpu_seconds(consumer.pid)
        counted = sink_log.poll()
        half = [x for x in samples if x["reports"] > reports // 2 - 1]
        slope = None
        if len(half) >= 2:
            xs = [x["reports"] / 100_000 for x in half]
            ys = [x["floor_kib"] for x in half]
            mx, my = statistics.fmean(xs), statistics.fmean(ys)
            den = sum((x - mx) ** 2 for x in xs)
            slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den if den else 0.0
        cpu = cpu_between(before, after)
        return {"sent": written, "counted": counted, "lost": written - counted, "samples": samples,
                "final_rss_kib": final, "peak_rss_kib": hwm, "slope_kib_per_100k": slope, "cpu_s": cpu,
                "cpu_us_per_report": 1e6 * cpu / counted if counted else None,
                "elapsed_s": time.monotonic() - started}
    finally:
        bench.stop_all()


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--smoke", action="store_true", help="a few hundred signals, one run of everything")
    ap.add_argument("--json", help="write the raw results here")
    ap.add_argument("--skip-memory", action="store_true")
    ap.add_argument("--consumers", default="node,noop,bleak")
    ap.add_argument("--node", help="the brelo-ble to measure (default: the one in --build)")
    args = ap.parse_args()
    global NODE
    NODE = args.node

    if not shutil.which("dbus-daemon"):
        print("dbus-daemon is not installed: skipping the end-to-end benchmark")
        return 77
    consumers = args.consumers.split(",")
    if "bleak" in consumers:
        probe = subprocess.run([PYTHON, "-c", "import bleak"], capture_output=True)
        if probe.returncode != 0:
            if not args.smoke:
                raise SystemExit("python3-bleak is not installed (bench/run installs it)")
            print("python3-bleak is not installed: the bleak peer is skipped")
            consumers.remove("bleak")

    if args.smoke:
        runs, plans = 1, [(2000, 400), (None, 400)]
    else:
        runs, plans = args.runs, [(2000, 16_000), (None, 80_000)]

    results = {"flood": [], "memory": []}
    ok = True
    with tempfile.TemporaryDirectory(prefix="brelo-bench-") as tmp:
        for rate, count in plans:
            for run in range(runs):
                for kind in consumers:
                    try:
                        r = flood_run(args.build, tmp, kind, rate, count)
                    except Failure as e:
                        log(f"  {kind} at {rate or 'max'}/s: {e}")
                        ok = False
                        continue
                    r["run"] = run
                    results["flood"].append(r)
                    cpu = r["cpu_us_per_report"]
                    log(f"  {kind:5s} {str(r['rate']):>5s}/s run {run + 1}: sent {r['sent']} counted {r['counted']} "
                        f"cpu {cpu if cpu is None else round(cpu, 2)} us/report, flood {r['flood_s']:.1f} s")
                    if kind == "node" and r["lost"] != 0:
                        ok = False
        if not args.skip_memory and "node" in consumers:
            for run in range(1 if args.smoke else runs):
                try:
                    if args.smoke:
                        m = memory_run(args.build, tmp, reports=2000, addresses=200, steps=2)
                    else:
                        m = memory_run(args.build, tmp)
                except Failure as e:
                    log(f"  memory run: {e}")
                    ok = False
                    continue
                results["memory"].append(m)
                if m["lost"] != 0:
                    ok = False

    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    summarize(results)
    return 0 if ok else 1


def summarize(results):
    def med(kind, rate, key):
        return median([r[key] for r in results["flood"] if r["consumer"] == kind and r["rate"] == rate])

    print("End to end (medians of runs): CPU per report from /proc, reports counted by each consumer")
    print(f"{'rate':>6} {'consumer':>8} {'sent':>8} {'counted':>8} {'lost':>6} {'cpu us/report':>14} "
          f"{'rss KiB':>8} {'peak KiB':>8}")
    for rate in (2000, "max"):
        for kind in ("node", "noop", "bleak"):
            sent = med(kind, rate, "sent")
            if sent is None:
                continue
            cpu = med(kind, rate, "cpu_us_per_report")
            print(f"{str(rate):>6} {kind:>8} {sent:8.0f} {med(kind, rate, 'counted'):8.0f} "
                  f"{max(r['lost'] for r in results['flood'] if r['consumer'] == kind and r['rate'] == rate):6d} "
                  f"{cpu if cpu is not None else float('nan'):14.2f} {med(kind, rate, 'rss_kib'):8.0f} "
                  f"{med(kind, rate, 'hwm_kib'):8.0f}")
    print("Ratios of the node's CPU per report (target in brackets):")
    for rate, refs in ((2000, (("bleak", 0.2), ("noop", 0.5))), ("max", (("noop", 1.2), ("bleak", None)))):
        node = med("node", rate, "cpu_us_per_report")
        for ref, target in refs:
            other = med(ref, rate, "cpu_us_per_report")
            if node is None or not other:
                continue
            ratio = node / other
            verdict = "" if target is None else (f" [<= {target}] " + ("met" if ratio <= target else "MISSED"))
            print(f"  at {rate}/s node / {ref}: {ratio:.3f}{verdict}")
    for kind in ("node",):
        for rate in (2000, "max"):
            lost = [r["lost"] for r in results["flood"] if r["consumer"] == kind and r["rate"] == rate]
            if lost:
                print(f"  reports lost by the node at {rate}/s: {max(lost)} (worst run) [0] "
                      + ("met" if max(lost) == 0 else "MISSED"))
    if results["memory"]:
        ms = results["memory"]
        final = median([m["final_rss_kib"] for m in ms])
        peak = median([m["peak_rss_kib"] for m in ms])
        slope = median([m["slope_kib_per_100k"] for m in ms])
        lost = max(m["lost"] for m in ms)
        print(f"Memory run ({ms[0]['sent']} reports from rotating addresses; medians of {len(ms)}): "
              f"final RSS {final} KiB ({final / 1024:.1f} MiB) [<= 16 MiB] "
              + ("met" if final <= 16 * 1024 else "MISSED") + f", peak {peak} KiB, reports lost {lost}")
        if slope is not None:
            flat = slope <= FLAT_KIB_PER_100K
            print(f"  slope of the RSS floor over the second half: {slope:+.1f} KiB per 100,000 reports "
                  f"[flat: <= {FLAT_KIB_PER_100K}] " + ("met" if flat else "MISSED"))
        steps = max(len(m["samples"]) for m in ms)
        for key, label in (("rss_kib", "RSS"), ("floor_kib", "floor")):
            print(f"  {label} at every 10% (KiB): " + ", ".join(
                f"{median([m['samples'][i][key] for m in ms if len(m['samples']) > i]):.0f}" for i in range(steps)))


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
