#!/usr/bin/env python3
"""Requests the example hosts must refuse rather than report as done: a
variant the product does not list (the engine would build the bare product
under the asked-for name) and a device count that programs nothing.

Usage: refusals.py BUILD_DIR SOURCE_DIR
"""
import os
import subprocess
import sys
import tempfile

build, source = sys.argv[1], sys.argv[2]
failures = []


def refused(what, args, expect):
    run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if run.returncode == 0 or expect not in run.stdout:
        failures.append("%s: rc %d, output:\n%s" % (what, run.returncode, run.stdout))


release = os.path.join(build, "examples", "release", "kelvo-release")
minimal = os.path.join(source, "examples", "minimal")
with tempfile.TemporaryDirectory() as work:
    out = os.path.join(work, "pkg.zip")
    for variant in ("relase", "Debug"):
        refused("variant " + variant, [release, minimal, "kv100", variant, out],
                'product "kv100" has no variant "%s" (its variants: debug, release)' % variant)
        if os.path.exists(out):
            failures.append("variant %s: a package was written" % variant)
    # A listed variant still builds.
    run = subprocess.run([release, minimal, "kv100", "release", out], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, timeout=60)
    if run.returncode != 0 or not os.path.exists(out):
        failures.append("variant release: rc %d\n%s" % (run.returncode, run.stdout))

for script, extra in ((os.path.join(source, "scripts", "demo_devices.py"), ["--build", build]),
                      (os.path.join(source, "examples", "station", "station.py"),
                       ["--download", os.path.join(build, "download", "download"), "--package", "none.zip"])):
    for count in ("0", "-2"):
        refused("%s --devices %s" % (os.path.basename(script), count),
                [sys.executable, script] + extra + ["--devices", count], "at least one device")

for f in failures:
    print(f)
sys.exit(1 if failures else 0)
