#!/usr/bin/env python3
"""The demo after the build: generates the release package of a configuration,
starts kelvo-devsim with devices fitted to that package, programs them through
the example station (examples/station/station.py, which drives `download`) and
checks that every device's recorded flash holds the package's images at their
partitions. Exits 0 only when every device ended SUCCEEDED with its bytes in
place. scripts/demo runs it after installing and building; CI runs it as a test.
"""
import argparse
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(ROOT, "examples", "station"))
import station  # noqa: E402

LOCATION = "demo"


def generate_package(build, config, product, variant, work):
    """Runs the release driver in `work`; returns the package's path."""
    args = [os.path.join(build, "examples", "release", "kelvo-release"), config, product or "", variant or ""]
    run = subprocess.run(args, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    with open(os.path.join(work, "release.log"), "w") as log:
        log.write(run.stdout)
    package = None
    for line in run.stdout.splitlines():
        if line.startswith(("Product ", "Generating the release")):
            print(line)
        if line.startswith("Release package: "):
            package = line[len("Release package: "):].strip()
    if run.returncode != 0 or not package:
        sys.stdout.write(run.stdout)
        raise SystemExit("the release package was not generated")
    print("Release package: %s (driver output in %s)" % (package, os.path.join(work, "release.log")))
    return package


def read_partition_table(blob):
    """The package's "aptb" table: rows with name, format, flash, start, size."""
    magic, count = struct.unpack_from("<II", blob, 0)
    if magic != 0x41505442 or count > 32 or len(blob) < 8 + 68 * count:
        raise SystemExit("partition.bin is not a partition table")
    rows, flash = [], None
    for i in range(count):
        r = blob[8 + 68 * i: 8 + 68 * (i + 1)]
        name = r[:32].split(b"\0")[0].decode()
        fmt = r[32:48].split(b"\0")[0].decode()
        start, size = struct.unpack_from("<II", r, 48)
        if fmt == "flash":
            flash = name
        rows.append({"name": name, "format": fmt, "flash": flash if fmt != "group" else None,
                     "start": start, "size": size})
    return rows


def simulator_options(commands, table):
    """kelvo-devsim options that fit the package: its flashes and what it requires."""
    flashes = ["%s:%d" % (r["name"], r["size"]) for r in table if r["format"] == "flash"]
    opts = ["--flash", ",".join(flashes)] if flashes else []
    for c in commands:
        if c.get("command") != "require":
            continue
        # The first allowed value; "abc*" allows every answer that begins "abc".
        value = str(c.get("value", "")).split("|")[0].rstrip("*")
        name = c.get("name", "")
        if name == "version-bootrom":
            opts += ["--version-bootrom", value]
        elif name == "platform":
            opts += ["--platform", value]
        else:
            opts += ["--var", "%s=%s" % (name, value)]
    return opts


def expand_sparse(image):
    """A sparse image's (offset, bytes) runs, or None for a plain image."""
    if len(image) < 28 or struct.unpack_from("<I", image, 0)[0] != 0xED26FF3A:
        return None
    file_hdr, chunk_hdr, blk, _total, chunks = struct.unpack_from("<HHIII", image, 8)
    pos, block, runs = file_hdr, 0, []
    for _ in range(chunks):
        kind, _r, nblk, total = struct.unpack_from("<HHII", image, pos)
        data = image[pos + chunk_hdr: pos + total]
        if kind == 0xCAC1:
            runs.append((block * blk, data))
        elif kind == 0xCAC2:
            runs.append((block * blk, data[:4] * (nblk * blk // 4)))
        if kind != 0xCAC4:
            block += nblk
        pos += total
    return runs


def check_device(record, index, package, commands, table):
    """'verified (N images)' or what differs, from the device's flash record."""
    rows = {r["name"]: r for r in table}
    zf = zipfile.ZipFile(package)
    checked, wrong = 0, []
    for c in commands:
        if c.get("command") != "flash":
            continue
        part = rows.get(c.get("partition"))
        if not part or not part["flash"]:
            wrong.append("%s: no partition" % c.get("partition"))
            continue
        base = os.path.join(record, "device-%d.flash.%s" % (index, part["flash"]))
        try:
            with open(base + ".extents.json") as f:
                extents = json.load(f)["extents"]
            flash = open(base + ".bin", "rb")
        except (OSError, ValueError):
            return "no record"
        image = zf.read(c["image"])
        with flash:
            for offset, data in expand_sparse(image) or [(0, image)]:
                at = part["start"] + offset
                covered = any(s <= at and at + len(data) <= s + n for s, n in extents)
                flash.seek(at)
                if not covered or flash.read(len(data)) != data:
                    wrong.append(c["partition"])
                    break
            else:
                checked += 1
    return "DIFFERS: " + ", ".join(wrong) if wrong else "verified (%d images)" % checked


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"), help="the build directory")
    ap.add_argument("--config", default=os.path.join(ROOT, "examples", "minimal"), help="configuration directory")
    ap.add_argument("--product", default="", help="product (default: the first listed)")
    ap.add_argument("--variant", default="", help="variant (default: the product's first listed)")
    ap.add_argument("--devices", type=station.at_least_one, default=4, help="simulated devices (4)")
    ap.add_argument("--line-rate", type=int, default=11520,
                    help="bytes per second of each simulated line, 0 for no limit (11520: 115200 baud)")
    ap.add_argument("--work", default="", help="directory for package, ports and records (default: BUILD/demo)")
    ap.add_argument("--timeout", type=float, default=300, help="seconds to wait for the devices")
    a = ap.parse_args()

    a.build = os.path.abspath(a.build)
    work = os.path.abspath(a.work or os.path.join(a.build, "demo"))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    package = generate_package(a.build, os.path.abspath(a.config), a.product, a.variant, work)
    with zipfile.ZipFile(package) as zf:
        commands = json.loads(zf.read("download.json"))
        table = read_partition_table(zf.read("partition.bin"))

    ports, record = os.path.join(work, "ports"), os.path.join(work, "record")
    os.makedirs(ports)
    sim_args = [os.path.join(a.build, "tests", "sim", "kelvo-devsim"), "--ports-dir", ports, "--record", record,
                "--count", str(a.devices), "--location", LOCATION, "--line-rate", str(a.line_rate),
                "--sparse-record", "--exit-when-done", "--quiet"] + simulator_options(commands, table)
    print("Simulator: " + " ".join(sim_args[1:]))
    sim = subprocess.Popen(sim_args)
    try:
        deadline = time.monotonic() + 10
        while len([n for n in os.listdir(ports) if n.endswith(".json")]) < a.devices:
            if sim.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("the simulator did not publish its devices")
            time.sleep(0.05)
        env = dict(os.environ, KELVO_VIRTUAL_PORTS=ports)
        print("Programming %d devices through %s\n" % (a.devices, os.path.join(a.build, "download", "download")))
        seen = station.program_devices(os.path.join(a.build, "download", "download"), package, a.devices,
                                       timeout=a.timeout, env=env, log_path=os.path.join(work, "engine.log"))
    finally:
        # It exits by itself once every device rebooted; otherwise it is told to.
        try:
            sim.wait(5)
        except subprocess.TimeoutExpired:
            sim.send_signal(signal.SIGTERM)
            sim.wait(30)

    results = {}
    rows = []
    for k in seen.order:
        d = seen.by_key[k]
        index = int(k.rsplit(".", 1)[1]) if k.startswith(LOCATION + ".") else -1
        results[k] = check_device(record, index, package, commands, table) if index >= 0 else "not simulated"
        rows.append(d)
    station.print_table(rows, extra=("flash", lambda d: results[d["location"]]))
    good = [d for d in rows if d["final"] == "SUCCEEDED" and results[d["location"]].startswith("verified")]
    print("\n%d of %d devices SUCCEEDED with the package's images in place" % (len(good), a.devices))
    return 0 if len(good) == a.devices else 1


if __name__ == "__main__":
    sys.exit(main())
