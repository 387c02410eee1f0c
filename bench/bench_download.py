#!/usr/bin/env python3
"""Download throughput and memory of Haulix against ``curl -o``.

A local HTTP server on 127.0.0.1 (its own process) acts as the HTTP proxy
for a Zenodo link whose body is SIZE bytes (1 GiB by default). Each round
fetches it once with ``curl -o`` and once with ``Haulix.resolve_zenodo_dropbox``
in a fresh Python process, which reports its download time and the growth of
its peak resident memory (VmHWM) over the level it had just before the call.

Haulix makes each download durable (fsync) before publishing it, which
``curl -o`` does not: the run also times an fsync of curl's file, so the
figure "curl -o + fsync" shows what the same guarantee costs curl.

Targets: the best round at least 0.8 of curl's best throughput, and a peak
memory growth under 64 MiB in every round (medians and spreads are printed
too). The exit status is 1 when one is missed.

    python bench/bench_download.py [--size BYTES] [--rounds N] [--dir PATH]
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from turns import MIN_TURNS, Targets, Turns

LINK = "http://zenodo.org/records/1/files/big.bin"
MIB = 1 << 20


def serve(size: int) -> None:
    block = memoryview(os.urandom(MIB))

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            left = size
            while left:
                n = min(left, MIB)
                self.wfile.write(block[:n])
                left -= n

        def log_message(self, *args):
            pass

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(srv.server_address[1], flush=True)
    srv.serve_forever()


CHILD = r"""
import json, os, sys, time
from tavro.helpers.haulix import Haulix

def status(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

h = Haulix(sys.argv[1])
before_rss = status("VmRSS")
try:  # start the high-water mark afresh, where the kernel allows it
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
except OSError:
    pass
before_hwm = status("VmHWM")
t = time.perf_counter()
path = h.resolve_zenodo_dropbox("big", sys.argv[2])
seconds = time.perf_counter() - t
print(json.dumps({"seconds": seconds, "path": path, "rss_before": before_rss,
                  "hwm_before": before_hwm, "hwm_after": status("VmHWM")}))
"""


def run_curl(proxy: str, out: str) -> tuple[float, float]:
    """Seconds for ``curl -o``, and for the fsync that would make its file durable."""
    t = time.perf_counter()
    subprocess.run(["curl", "-s", "-f", "--proxy", proxy, "-o", out, LINK], check=True)
    t2 = time.perf_counter()
    fd = os.open(out, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    return t2 - t, time.perf_counter() - t2


def run_haulix(env: dict, cache: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, cache, LINK], env=env, check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=1 << 30)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--dir", default=None, help="scratch folder (default: a new temp folder)")
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve(args.size)
        return 0
    if not shutil.which("curl"):
        print("curl not found", file=sys.stderr)
        return 2

    server = subprocess.Popen([sys.executable, __file__, "--serve", "--size", str(args.size)],
                              stdout=subprocess.PIPE, text=True)
    scratch = tempfile.mkdtemp(prefix="bench_download_", dir=args.dir)
    try:
        proxy = f"http://127.0.0.1:{server.stdout.readline().strip()}"
        env = {k: v for k, v in os.environ.items() if k.lower() != "no_proxy"}
        env["http_proxy"] = proxy
        curl_rates, durable_rates, haulix_rates, growths = [], [], [], []
        for rnd in range(1, max(args.rounds, MIN_TURNS) + 1):
            # Each timed run starts with nothing left to write back or to
            # discard: the previous round's files go first, then a sync.
            for name in os.listdir(scratch):
                shutil.rmtree(os.path.join(scratch, name))
            os.sync()
            out = os.path.join(scratch, "curl.bin")
            secs, sync_secs = run_curl(proxy, out)
            assert os.path.getsize(out) == args.size
            os.unlink(out)
            curl_rates.append(args.size / secs)
            durable_rates.append(args.size / (secs + sync_secs))

            os.sync()
            rec = run_haulix(env, os.path.join(scratch, f"cache{rnd}"))
            assert os.path.getsize(rec["path"]) == args.size
            haulix_rates.append(args.size / rec["seconds"])
            growths.append(max(0, rec["hwm_after"] - max(rec["hwm_before"], rec["rss_before"])))
            print(f"round {rnd}: curl {curl_rates[-1] / MIB:8.1f} MiB/s   "
                  f"curl+fsync {durable_rates[-1] / MIB:8.1f} MiB/s   "
                  f"haulix {haulix_rates[-1] / MIB:8.1f} MiB/s   "
                  f"peak RSS growth {growths[-1] / MIB:6.2f} MiB", flush=True)
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(scratch, ignore_errors=True)

    t = Turns(["curl -o", "curl -o + fsync", "haulix"])
    for name, rates in (("curl -o", curl_rates), ("curl -o + fsync", durable_rates), ("haulix", haulix_rates)):
        for rate in rates:
            t.add(name, MIB / rate)  # seconds per MiB: less is better
    t.table(f"body {args.size / MIB:.0f} MiB (haulix includes its fsync: the file is on disk)",
            unit="ms per MiB", scale=1000)
    growth = max(growths)
    targets = Targets()
    ratio = t.best("curl -o") / t.best("haulix")
    targets.check(f"haulix / curl -o throughput {ratio:.2f} >= 0.80", ratio >= 0.8)
    print(f"  haulix / curl -o + fsync: {t.best('curl -o + fsync') / t.best('haulix'):.2f}")
    targets.check(f"peak RSS growth {growth / MIB:.2f} MiB < 64 MiB", growth < 64 * MIB)
    return targets.status()

if __name__ == "__main__":
    sys.exit(main())
