#!/usr/bin/python3
"""The Python reference for bench/run: a bleak scanner doing the node's aggregation.

Every advertisement bleak reports is gated on its RSSI (-109..-1) and folded into a
per-device sighting (readings, name, services, manufacturer data, transmit power); every
2 seconds the sightings become records (median, p75, max, min of the readings, packet
count) in a JSON upload body, encoded and counted but not sent. It uses Debian's
python3-bleak as it comes, on the system bus (DBUS_SYSTEM_BUS_ADDRESS points it at a
private dbus-daemon), with DuplicateData on like the node.

Prints "ready" once scanning. SIGUSR1 prints
"count signals <callbacks> reports <accepted> packets <flushed> bodies <n> bytes <n>";
SIGTERM or SIGINT flushes, prints the same and exits.
"""

import asyncio
import json
import signal
import sys
import time

from bleak import BleakScanner

WINDOW_S = 2.0


class Aggregator:
    def __init__(self, node):
        self.node = node
        self.batch = {}
        self.signals = 0
        self.reports = 0
        self.packets = 0
        self.bodies = 0
        self.bytes = 0

    def print_counts(self):
        print(f"count signals {self.signals} reports {self.reports} packets {self.packets} bodies {self.bodies} "
              f"bytes {self.bytes}", flush=True)

    def on_advertisement(self, device, adv):
        self.signals += 1
        rssi = adv.rssi
        if rssi is None or not -109 <= rssi <= -1:
            return
        self.reports += 1
        seen = self.batch.get(device.address)
        if seen is None:
            seen = self.batch[device.address] = {
                "rssi": [], "name": "", "services": [], "company": None, "prefix": "", "mfg": "", "tx": None,
            }
        if adv.local_name:
            seen["name"] = adv.local_name
        if adv.manufacturer_data:
            company = min(adv.manufacturer_data)
            data = company.to_bytes(2, "little") + adv.manufacturer_data[company]
            seen["company"] = company
            seen["prefix"] = data[2:4].hex()
            seen["mfg"] = data[:32].hex()
        if adv.tx_power is not None:
            seen["tx"] = adv.tx_power
        if adv.service_uuids:
            seen["services"] = list(adv.service_uuids)
        seen["rssi"].append(rssi)

    def flush(self):
        if not self.batch:
            return
        ts = time.time()
        devices = []
        for address, seen in self.batch.items():
            s = sorted(seen["rssi"])
            n = len(s)
            record = {
                "id": address, "rssi": s[n // 2], "p75": s[min(3 * n // 4, n - 1)], "max": s[-1], "min": s[0],
                "name": seen["name"], "services": seen["services"], "prefix": seen["prefix"], "packets": n, "ts": ts,
            }
            if seen["company"] is not None:
                record["company"] = seen["company"]
            if seen["mfg"]:
                record["mfg"] = seen["mfg"]
            if seen["tx"] is not None:
                record["tx"] = seen["tx"]
            devices.append(record)
            self.packets += n
        self.batch = {}
        body = json.dumps({"node": self.node, "devices": devices, "status": "listening", "sent_at": time.time(),
                           "version": "2.0"}, separators=(",", ":")).encode()
        self.bodies += 1
        self.bytes += len(body)


async def main():
    aggregator = Aggregator("bleak")
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.add_signal_handler(signal.SIGUSR1, aggregator.print_counts)

    scanner = BleakScanner(detection_callback=aggregator.on_advertisement,
                           bluez={"filters": {"DuplicateData": True, "RSSI": -127}})
    await scanner.start()
    print("ready", flush=True)

    async def flusher():
        next_due = loop.time() + WINDOW_S
        while True:
            await asyncio.sleep(max(0.0, next_due - loop.time()))
            next_due += WINDOW_S
            aggregator.flush()

    task = asyncio.create_task(flusher())
    await stop.wait()
    task.cancel()
    aggregator.flush()
    aggregator.print_counts()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except Exception as e:  # a clear line for bench/run instead of a traceback
        print(f"bleak peer: {type(e).__name__}: {e}", file=sys.stderr, flush=True)
        sys.exit(1)
