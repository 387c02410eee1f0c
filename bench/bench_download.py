#!/usr/bin/env python3
"""Download throughput and memory of Haulix against ``curl -o``, and the cost of checking a checksum.

A local HTTP server on 127.0.0.1 (its own process) acts as the HTTP proxy
for a Zenodo record whose file is SIZE bytes (1 GiB by default) and whose
metadata gives the file's MD5 digest. Each turn fetches the file

- with ``curl -o`` (and times an fsync of its file apart: Haulix makes each
  download durable before publishing it, which ``curl -o`` does not);
- with Haulix, unverified (``verify=False``: the download as it was before
  checksums were checked);
- with Haulix, verified (the body hashed while it is written);

each Haulix run in a fresh Python process that reports its download time and
the growth of its peak resident memory (VmHWM) over the level it had just
before the call. Write-back is flushed (``sync``) before every run, and the
three take turns.

Targets, on the best turns: Haulix at least 0.8 of curl's throughput; the
verified download at most 10 % below the unverified one, or, where the body
arrives faster than one stream of the digest can be computed on this machine
(MD5 runs at about 700 MiB/s: slower than a loopback connection), at most
10 % below that digest speed, which the run measures and prints; a peak
memory growth under 64 MiB. The exit status is 1 when one is missed.
``--rate`` paces the server like a network link of that many MiB/s.

    python bench/bench_download.py [--size BYTES] [--turns N] [--algorithm md5|sha256]
                                   [--rate MIB_PER_S] [--before SO] [--dir PATH]
"""

from __future__ import annotations

import argparse
import hashlib
import http.server
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

LINK = "http://zenodo.org/records/1/files/big.bin"
MIB = 1 << 20


def serve(size: int, algorithm: str, rate: float) -> None:
    block = memoryview(os.urandom(MIB))
    digest = hashlib.new(algorithm)
    left = size
    while left:
        digest.update(block[: min(left, MIB)])
        left -= min(left, MIB)
    checksum = digest.hexdigest() if algorithm == "md5" else f"{algorithm}:{digest.hexdigest()}"
    metadata = json.dumps({"files": [{"key": "big.bin", "checksum": checksum}]}).encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            self.send_response(200)
            if self.path.endswith("/api/records/1"):
                self.send_header("Content-Length", str(len(metadata)))
                self.end_headers()
                self.wfile.write(metadata)
                return
            self.send_header("Content-Length", str(size))
            self.send_header("ETag", '"bench"')
            self.end_headers()
            remaining, start = size, time.monotonic()
            while remaining:
                n = min(remaining, MIB)
                self.wfile.write(block[:n])
                remaining -= n
                if rate:  # the pace of a link of `rate` MiB/s
                    ahead = (size - remaining) / (rate * MIB) - (time.monotonic() - start)
                    if ahead > 0:
                        time.sleep(ahead)

        def log_message(self, *args):
            pass

    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    print(srv.server_address[1], flush=True)
    srv.serve_forever()


CHILD = r"""
import importlib.util, json, os, sys, time
if len(sys.argv) > 4:  # an earlier build of the module
    spec = importlib.util.spec_from_file_location("tavro.helpers.haulix", sys.argv[4])
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    Haulix = lambda folder, **kw: module.Haulix(folder)
else:
    from tavro.helpers.haulix import Haulix

def status(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

h = Haulix(sys.argv[1], verify=sys.argv[3] == "1", retries=0)
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


def run_haulix(env: dict, cache: str, verify: bool, before: str | None = None) -> dict:
    argv = [sys.executable, "-c", CHILD, cache, LINK, "1" if verify else "0"] + ([before] if before else [])
    done = subprocess.run(argv, env=env, check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def digest_rate(algorithm: str) -> float:
    """Bytes per second of one stream of the digest (OpenSSL through hashlib), best of 3."""
    block, best = os.urandom(256 * MIB), 0.0
    for _ in range(3):
        t = time.perf_counter()
        hashlib.new(algorithm, block)
        best = max(best, len(block) / (time.perf_counter() - t))
    return best


def summary(name: str, rates: list[float]) -> float:
    best, median = max(rates), statistics.median(rates)
    spread = (best - min(rates)) / median if median else 0.0
    print(f"{name:22s}: best {best / MIB:8.1f} MiB/s   median {median / MIB:8.1f} MiB/s   "
          f"spread {spread * 100:5.1f} %")
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=1 << 30)
    ap.add_argument("--turns", type=int, default=5)
    ap.add_argument("--algorithm", choices=["md5", "sha256"], default="md5")
    ap.add_argument("--rate", type=float, default=0, help="pace the server at this many MiB/s (0: no pacing)")
    ap.add_argument("--dir", default=None, help="scratch folder (default: a new temp folder)")
    ap.add_argument("--before", default=None, metavar="SO",
                    help="an earlier build of the haulix module, timed as a fourth contender")
    ap.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve(args.size, args.algorithm, args.rate)
        return 0
    if not shutil.which("curl"):
        print("curl not found", file=sys.stderr)
        return 2
    if args.turns < 5:
        print("at least 5 turns are needed", file=sys.stderr)
        return 2

    server = subprocess.Popen([sys.executable, __file__, "--serve", "--size", str(args.size),
                               "--algorithm", args.algorithm, "--rate", str(args.rate)],
                              stdout=subprocess.PIPE, text=True)
    scratch = tempfile.mkdtemp(prefix="bench_download_", dir=args.dir)
    try:
        proxy = f"http://127.0.0.1:{server.stdout.readline().strip()}"
        env = {k: v for k, v in os.environ.items() if k.lower() != "no_proxy"}
        env["http_proxy"] = proxy
        curl, durable, plain, verified, before, growths = [], [], [], [], [], []

        def fresh() -> None:
            # Each timed run starts with nothing left to write back or to
            # discard: the previous run's files go first, then a sync.
            for name in os.listdir(scratch):
                path = os.path.join(scratch, name)
                shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
            os.sync()

        for turn in range(1, args.turns + 1):
            fresh()
            out = os.path.join(scratch, "curl.bin")
            secs, sync_secs = run_curl(proxy, out)
            assert os.path.getsize(out) == args.size
            curl.append(args.size / secs)
            durable.append(args.size / (secs + sync_secs))
            runs = [(False, plain, None), (True, verified, None)]
            if args.before:
                runs.append((False, before, args.before))
            for verify, rates, build in runs:
                fresh()
                rec = run_haulix(env, os.path.join(scratch, "cache"), verify, build)
                assert os.path.getsize(rec["path"]) == args.size
                rates.append(args.size / rec["seconds"])
                growths.append(max(0, rec["hwm_after"] - max(rec["hwm_before"], rec["rss_before"])))
            print(f"turn {turn}: curl {curl[-1] / MIB:7.1f}   curl+fsync {durable[-1] / MIB:7.1f}   "
                  f"haulix {plain[-1] / MIB:7.1f}   haulix+{args.algorithm} {verified[-1] / MIB:7.1f}" +
                  (f"   earlier build {before[-1] / MIB:7.1f}" if before else "") + " MiB/s", flush=True)
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(scratch, ignore_errors=True)

    hash_speed = digest_rate(args.algorithm)
    pace = f", server paced at {args.rate:.0f} MiB/s" if args.rate else ""
    print(f"body {args.size / MIB:.0f} MiB, {args.turns} turns{pace}")
    print(f"{args.algorithm} alone        : {hash_speed / MIB:8.1f} MiB/s (one stream, in memory)")
    curl_best = summary("curl -o", curl)
    durable_best = summary("curl -o + fsync", durable)
    plain_best = summary("haulix, unverified", plain)
    verified_best = summary(f"haulix, {args.algorithm} checked", verified)
    if before:
        summary("earlier build", before)
    growth = max(growths)
    ceiling = min(plain_best, hash_speed)
    ratio, cost = plain_best / curl_best, 1 - verified_best / ceiling
    print(f"haulix / curl -o (best turns)         : {ratio:.2f} (target >= 0.80)")
    print(f"haulix / curl -o + fsync (best turns) : {plain_best / durable_best:.2f}")
    print(f"checked / unverified (best turns)     : {verified_best / plain_best:.2f}")
    print(f"cost of the {args.algorithm} check against the lower of unverified and {args.algorithm} alone: "
          f"{cost * 100:.1f} % (target <= 10 %)")
    print(f"peak RSS growth: {growth / MIB:.2f} MiB (target < 64 MiB)")
    return 0 if ratio >= 0.8 and cost <= 0.10 and growth < 64 * MIB else 1


if __name__ == "__main__":
    sys.exit(main())
