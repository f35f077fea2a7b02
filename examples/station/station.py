#!/usr/bin/env python3
"""A production station in miniature: programs every device that shows up
through the `download` program, as a controlling process does.

    station.py --download PATH --package PKG.zip [--devices N] [--baud N]
               [--timeout SECONDS]

It talks to `download` over its standard streams only: one command a line on
standard input (paths and JSON texts hex-encoded), one framed record per
answer on standard error (FF key FC value [FD field]... FE CR LF). Engine
events arrive as "info" records tagged QUR5201 whose field is the event's
JSON. While it runs it shows one line per device; when N devices have ended
it prints a table and exits 0 only if every one ended SUCCEEDED.
"""
import argparse
import json
import os
import queue
import subprocess
import sys
import threading
import time

FINAL = ("SUCCEEDED", "FAILED")


def hex_text(text):
    return text.encode("utf-8").hex().upper()


class Download:
    """The `download` process: commands in, records out (on a reader thread)."""

    def __init__(self, program, env=None):
        self.proc = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, env=env)
        self.records = queue.Queue()
        self.other = b""  # bytes outside records: a crash report, say
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            chunk = self.proc.stderr.read1(65536)
            if not chunk:
                self.other += buf
                self.records.put(None)
                return
            buf += chunk
            while True:
                start = buf.find(b"\xff")
                end = buf.find(b"\xfe\r\n", start + 1)
                if start < 0 or end < 0:
                    break
                self.other += buf[:start]
                body, buf = buf[start + 1:end], buf[end + 3:]
                key, _, rest = body.partition(b"\xfc")
                value, *fields = rest.split(b"\xfd")
                self.records.put((key.decode(), value.decode(),
                                  [f.decode("utf-8", "replace") for f in fields]))

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def call(self, line, on_info, timeout=30):
        """Sends one command and returns its answer ("result"/"error", code);
        info records that come first go to on_info."""
        self.send(line)
        deadline = time.monotonic() + timeout
        while True:
            rec = self.next(deadline - time.monotonic())
            if rec is None:
                raise RuntimeError("no answer to command %r" % line.split(",")[0])
            if rec[0] == "info":
                on_info(rec)
            else:
                return rec[0], int(rec[1])

    def next(self, timeout):
        try:
            return self.records.get(timeout=max(timeout, 0))
        except queue.Empty:
            return None


class Devices:
    """What the engine's events 5 and 6 say about each device, by location."""

    def __init__(self):
        self.by_key = {}
        self.order = []

    def update(self, ev):
        key = ev.get("locationInfo") or ev.get("path", "?")
        d = self.by_key.get(key)
        if d is None:
            d = self.by_key[key] = {"location": key, "status": "", "progress": 0, "peak": 0,
                                    "started": None, "seconds": None, "final": None}
            self.order.append(key)
        d["path"] = ev.get("path", "")
        d["status"] = ev.get("status", d["status"])
        d["progress"] = ev.get("progress", d["progress"])
        if d["final"] is None:
            d["peak"] = max(d["peak"], min(100, int(d["progress"])))
        if d["status"] in ("CONNECTING", "RUNNING") and d["started"] is None:
            d["started"] = time.monotonic()
        # The first final word counts: a device that rebooted goes OFFLINE afterwards.
        if d["status"] in FINAL and d["final"] is None:
            d["final"] = d["status"]
            d["seconds"] = time.monotonic() - (d["started"] or time.monotonic())

    def ended(self):
        return [self.by_key[k] for k in self.order if self.by_key[k]["final"]]


class Screen:
    """One line per device, redrawn in place on a terminal, else printed on change."""

    def __init__(self, out=sys.stdout):
        self.out, self.tty, self.drawn, self.last = out, out.isatty(), 0, {}

    def show(self, devices):
        lines = []
        for k in devices.order:
            d = devices.by_key[k]
            # The engine clears a device's progress when it ends: show how far it got.
            pct = d["peak"] if d["final"] else max(0, min(100, int(d["progress"])))
            bar = "#" * (pct // 5) + "." * (20 - pct // 5)
            lines.append("%-24s %-10s [%s] %3d%%" % (d["location"], d["final"] or d["status"], bar, pct))
        if self.tty:
            if self.drawn:
                self.out.write("\x1b[%dA" % self.drawn)
            for line in lines:
                self.out.write("\x1b[2K" + line + "\n")
            self.drawn = len(lines)
        else:
            for k, line in zip(devices.order, lines):
                if self.last.get(k) != line:
                    self.out.write(line + "\n")
                    self.last[k] = line
        self.out.flush()


def program_devices(download, package, devices_wanted, baud=115200, timeout=300, env=None, out=sys.stdout,
                    log_path=None):
    """Runs one download session; returns the Devices seen (ended ones have
    'final'). The engine's log lines (event 0) go to log_path when given."""
    dl = Download(download, env)
    devices = Devices()
    screen = Screen(out)
    problems = []
    log = open(log_path, "w") if log_path else None

    def on_info(rec):
        if rec[1] != "QUR5201" or not rec[2]:
            return
        try:
            ev = json.loads(rec[2][0])
        except ValueError:
            return
        if not isinstance(ev, dict):
            return
        if ev.get("event") == 0 and log:
            where = "[%s] " % ev["locationInfo"] if ev.get("locationInfo") else ""
            log.write(where + ev.get("message", ""))
        elif ev.get("event") in (5, 6):
            devices.update(ev)
            screen.show(devices)
        elif ev.get("event") == 1 and "commands" not in ev:
            problems.append("the engine could not open the package: %r" % ev)

    try:
        run_session(dl, package, devices, devices_wanted, baud, timeout, on_info, problems)
    except (RuntimeError, OSError) as e:
        problems.append(str(e))
        if dl.other.strip():
            problems.append("download wrote: " + dl.other.decode("utf-8", "replace").strip())
    finally:
        if log:
            log.close()
        try:
            dl.proc.stdin.close()
        except OSError:
            pass
        try:
            dl.proc.wait(10)
        except subprocess.TimeoutExpired:
            dl.proc.kill()
            dl.proc.wait()
    for p in problems:
        out.write(p + "\n")
    return devices


def run_session(dl, package, devices, devices_wanted, baud, timeout, on_info, problems):
    """The commands of one session, as a controlling process sends them."""
    # 2: load the libraries; 6,0: engine init with the package; 6,1: start.
    if dl.call("2", on_info) != ("result", 0):
        raise RuntimeError("the libraries did not load")
    if dl.call("6,0," + hex_text(json.dumps({"path": os.path.abspath(package)})), on_info) != ("result", 0):
        raise RuntimeError("the engine refused the init")
    start = {"baudRate": baud, "usbOnly": False, "usbAutoEnable": True, "dumpEnable": False,
             "enableOnce": False, "reboot": False, "disabledGroups": []}
    if dl.call("6,1," + hex_text(json.dumps(start)), on_info) != ("result", 0):
        raise RuntimeError("the engine refused the start")
    deadline = time.monotonic() + timeout
    while len(devices.ended()) < devices_wanted and not problems:
        rec = dl.next(deadline - time.monotonic())
        if rec is None:
            if dl.proc.poll() is not None:
                raise RuntimeError("download ended with status %d" % dl.proc.returncode)
            problems.append("timed out waiting for the devices")
            break
        if rec[0] == "info":
            on_info(rec)
    # 8: unload, which stops the download engine and answers once the stop
    # has ended (download waits up to 30 s for it); 0: exit.
    dl.call("8", on_info, timeout=45)
    dl.send("0")


def print_table(rows, out=sys.stdout, extra=None):
    """rows: device dicts; extra: optional (title, function(device) -> text)."""
    head = "%-24s %-10s %8s %8s" % ("device", "status", "time", "progress")
    if extra:
        head += "  " + extra[0]
    out.write("\n" + head + "\n" + "-" * len(head) + "\n")
    for d in rows:
        secs = "%7.2fs" % d["seconds"] if d["seconds"] is not None else "       -"
        line = "%-24s %-10s %8s %7d%%" % (d["location"], d["final"] or d["status"] or "-", secs, d["peak"])
        if extra:
            line += "  " + extra[1](d)
        out.write(line + "\n")


def at_least_one(text):
    """A device count: a run that waits for no device would succeed having programmed none."""
    n = int(text)
    if n < 1:
        raise argparse.ArgumentTypeError("at least one device, not %s" % text)
    return n


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--download", required=True, help="the download program")
    ap.add_argument("--package", required=True, help="the release package (zip)")
    ap.add_argument("--devices", type=at_least_one, default=1, help="devices to program before stopping")
    ap.add_argument("--baud", type=int, default=115200, help="line rate of the serial ports")
    ap.add_argument("--timeout", type=float, default=300, help="seconds to wait for the devices")
    a = ap.parse_args()
    devices = program_devices(a.download, a.package, a.devices, a.baud, a.timeout)
    rows = [devices.by_key[k] for k in devices.order]
    print_table(rows)
    ok = len(devices.ended()) >= a.devices and all(d["final"] == "SUCCEEDED" for d in rows)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
