"""Remote inputs: Zenodo and Dropbox links downloaded once into a cache folder.

No test leaves the machine: a local HTTP server on 127.0.0.1 acts as the
HTTP proxy named in ``http_proxy``, so links written with the services' real
domains reach it through the standard URL opener.
"""

from __future__ import annotations

import email.utils
import errno
import hashlib
import http.client
import http.server
import json
import logging
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

from tavro.helpers import haulix as haulix_module
from tavro.helpers.haulix import ChecksumError, Haulix

LOGGER = "tavro.helpers.haulix"
ZENODO = "http://zenodo.org/records/7/files"
DROPBOX = "http://www.dropbox.com/scl/fi/abc"


def body_for(url: str) -> bytes:
    return f"contents of {url}\n".encode() * 3


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        srv = self.server
        with srv.lock:
            srv.requests.append(self.path)
            srv.seen.append((self.path, self.headers.get("Range"), self.headers.get("If-Range"), time.monotonic()))
        action = srv.routes.get(self.path)
        if callable(action):
            action(self)
        elif isinstance(action, int):
            self.send_error(action)
        else:
            self.send_body(action if action is not None else body_for(self.path))

    def send_body(self, data: bytes, length: int | None = None):
        self.send_response(200)
        self.send_header("Content-Length", str(len(data) if length is None else length))
        self.end_headers()
        self.send(data)

    def send(self, data: bytes):
        with self.server.lock:
            self.server.sent += len(data)
        self.wfile.write(data)

    def log_message(self, *args):
        pass


class Proxy(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), ProxyHandler)
        self.lock = threading.Lock()
        self.requests: list[str] = []
        self.seen: list[tuple] = []  # (link, Range, If-Range, time) of every request
        self.routes: dict[str, object] = {}
        self.sent = 0  # body bytes written

    def handle_error(self, request, client_address):
        pass  # clients that give up mid-body are part of the tests


@pytest.fixture
def proxy(monkeypatch):
    srv = Proxy()
    thread = threading.Thread(target=srv.serve_forever, args=(0.02,), daemon=True)
    thread.start()
    monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{srv.server_address[1]}")
    monkeypatch.delenv("no_proxy", raising=False)
    monkeypatch.delenv("NO_PROXY", raising=False)
    # The default opener reads the proxy settings once, when first built.
    urllib.request.install_opener(None)
    yield srv
    urllib.request.install_opener(None)
    srv.shutdown()
    srv.server_close()


@pytest.fixture
def cache(tmp_path):
    return tmp_path / "cache"


@pytest.fixture
def haulix(cache):
    return Haulix(str(cache))


def entries(folder) -> list[str]:
    """The cache's entries, without records, part files and the folder lock."""
    return sorted(n for n in os.listdir(folder) if not n.startswith((".#", ".part#", ".lock#")))


def part_files(folder) -> list[str]:
    return sorted(n for n in os.listdir(folder) if n.startswith(".part#"))


def downloads(proxy) -> list[str]:
    """Requests for files, without those for Zenodo record metadata."""
    return [r for r in proxy.requests if "/api/records/" not in r]


def record(path) -> dict:
    """An entry's record: the link on its first line, then "<field> <value>" lines."""
    link, *fields = open(os.path.join(os.path.dirname(path), ".#" + os.path.basename(path))).read().split("\n")
    pairs = [f.partition(" ")[::2] for f in fields if f]
    return {"link": link, **{k: int(v) if v.isdigit() else v for k, v in pairs}}


def cut_after_half(handler):
    data = body_for(handler.path)
    handler.send_body(data[: len(data) // 2], length=len(data))
    handler.close_connection = True


def cut_chunked(handler):
    handler.send_response(200)
    handler.send_header("Transfer-Encoding", "chunked")
    handler.end_headers()
    handler.wfile.write(b"5\r\nhello\r\n")
    handler.close_connection = True


def test_constructor_creates_folder_and_keeps_temp_dir(tmp_path):
    target = tmp_path / "a" / "b"
    h = Haulix(str(target))
    assert h.temp_dir == str(target) and target.is_dir()
    Haulix(str(target))  # an existing folder is no error
    with pytest.raises(TypeError):
        Haulix()


@pytest.mark.parametrize(
    "value",
    [
        "/data/reads.fq",
        "reads.fq",
        "http://example.org/files/reads.fq",
        "https://zenodo.org/",
        "HTTPS://zenodo.org/records/1/files/a.txt",
        "https://Zenodo.org/records/1/files/a.txt",
        "https://zenodo.org.example.net/a.txt",
        "https://zenodoXorg/a.txt",
        "ftp://zenodo.org/a.txt",
        "https://wwwXdropbox.com/s/a.txt",
        "https://api.dropbox.com/s/a.txt",
        " https://zenodo.org/a.txt",
        42,
        None,
        ["http://zenodo.org/records/1/files/a.txt"],
        {"ref": "http://zenodo.org/records/1/files/a.txt"},
    ],
)
def test_values_that_are_not_links_pass_through(proxy, haulix, cache, value):
    assert haulix.resolve_zenodo_dropbox("ref", value) is value
    assert proxy.requests == [] and entries(cache) == []


@pytest.mark.parametrize("key", [None, b"ref", 3, type("S", (str,), {})("ref")])
@pytest.mark.parametrize("value", ["/data/x", f"{ZENODO}/a.txt"])
def test_key_must_be_exactly_str(proxy, haulix, key, value):
    with pytest.raises(TypeError) as exc:
        haulix.resolve_zenodo_dropbox(key, value)
    assert str(exc.value) == (
        f"Argument 'key' has incorrect type (expected str, got {type(key).__name__})"
    )
    assert proxy.requests == []


@pytest.mark.parametrize(
    "value, fetched",
    [
        (f"{ZENODO}/a.txt?download=1", f"{ZENODO}/a.txt?download=1"),
        (f"{DROPBOX}/reads.fq?dl=0", f"{DROPBOX}/reads.fq?dl=1"),
        ("http://dropbox.com/s/abc/reads.fq", "http://dropbox.com/s/abc/reads.fq?dl=1"),
        ("https://dropbox.com/s/abc/reads.fq", None),  # scheme kept; never fetched here
        (f"{DROPBOX}/reads.fq?rlkey=K&dl=0", f"{DROPBOX}/reads.fq?rlkey=K&dl=1"),
        (f"{DROPBOX}/reads.fq?rlkey=K&dl=0&st=S", f"{DROPBOX}/reads.fq?rlkey=K&st=S&dl=1"),
        (f"{DROPBOX}/reads.fq?dl=1", f"{DROPBOX}/reads.fq?dl=1&dl=1"),
        # the removed "?dl=0" opened the query: the next parameter takes its '?'
        (f"{DROPBOX}/reads.fq?dl=0&rlkey=K", f"{DROPBOX}/reads.fq?rlkey=K&dl=1"),
        (f"{DROPBOX}/reads.fq?dl=0&dl=0&rlkey=K&st=S", f"{DROPBOX}/reads.fq?rlkey=K&st=S&dl=1"),
    ],
)
def test_download_link_and_log(proxy, haulix, cache, caplog, monkeypatch, value, fetched):
    if fetched is None:  # https would need a CONNECT tunnel: check the link handed to the opener
        seen = []

        def fake_urlopen(link, timeout=None):
            seen.append(link)
            raise urllib.error.URLError("offline")

        monkeypatch.setattr(urllib.request, "urlopen", fake_urlopen)
        with pytest.raises(urllib.error.URLError):
            haulix.resolve_zenodo_dropbox("reads", value)
        assert seen == [value + "?dl=1"]
        return
    caplog.set_level(logging.INFO, logger=LOGGER)
    path = haulix.resolve_zenodo_dropbox("reads", value)
    name = "a.txt" if "zenodo" in value else "reads.fq"
    assert path == os.path.join(str(cache), name)
    assert downloads(proxy) == [fetched]
    with open(path, "rb") as fh:
        assert fh.read() == body_for(fetched)
    records = [(r.name, r.levelno, r.msg, r.args) for r in caplog.records if r.levelno == logging.INFO]
    assert records == [
        (LOGGER, logging.INFO, "Downloading %s: %s", ("reads", value)),
        (LOGGER, logging.INFO, "Saved to %s", (path,)),
    ]
    # this server has no record metadata: a Zenodo file is fetched unverified, with one warning
    warnings = [r.msg for r in caplog.records if r.levelno == logging.WARNING]
    assert warnings == (["No checksum for %s from %s (%s); the download is not verified"] if "zenodo" in value else [])


@pytest.mark.parametrize(
    "value, key, name",
    [
        (f"{ZENODO}/a.txt?download=1#top", "ref", "a.txt"),
        (f"{ZENODO}/a%20b.fa.gz", "ref", "a%20b.fa.gz"),
        (f"{ZENODO}/", "genome", "download_genome"),
        (f"{DROPBOX}/?dl=0", "reads", "download_reads"),
        # names that would leave the cache folder map to one safe name
        (f"{ZENODO}/", "../../outside", "download_..%2F..%2Foutside"),
        (f"{ZENODO}/", "a\x00b", "download_a%00b"),
        (f"{ZENODO}/..", "ref", "download_ref"),
        (f"{ZENODO}/.", "ref", "download_ref"),
        (f"{ZENODO}/..?download=1", "ref", "download_ref"),
    ],
)
def test_cache_names_stay_inside_folder(proxy, tmp_path, value, key, name):
    cache = tmp_path / "deep" / "cache"
    h = Haulix(str(cache))
    path = h.resolve_zenodo_dropbox(key, value)
    assert path == os.path.join(str(cache), name)
    assert entries(cache) == [name] and os.path.isfile(path)
    assert sorted(os.listdir(tmp_path)) == ["deep"] and os.listdir(tmp_path / "deep") == ["cache"]


def test_downloaded_file_is_complete_and_plain(proxy, haulix, cache, monkeypatch):
    data = os.urandom(3 * (1 << 20) + 12345)  # several read chunks, last one partial
    url = f"{ZENODO}/big.bin"
    proxy.routes[url] = data
    old = os.umask(0o027)
    try:
        path = haulix.resolve_zenodo_dropbox("big", url)
    finally:
        os.umask(old)
    with open(path, "rb") as fh:
        assert fh.read() == data
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640  # as open() under the umask makes it
    assert entries(cache) == ["big.bin"]


def test_response_without_readinto_is_read_in_chunks(proxy, haulix, monkeypatch):
    data = os.urandom((1 << 20) + 7)
    proxy.routes[f"{ZENODO}/r.bin"] = data
    real = urllib.request.urlopen

    class ReadOnly:
        def __init__(self, resp):
            self._resp = resp

        def read(self, n):
            return self._resp.read(n)

        def close(self):
            self._resp.close()

    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: ReadOnly(real(*a, **k)))
    with open(haulix.resolve_zenodo_dropbox("r", f"{ZENODO}/r.bin"), "rb") as fh:
        assert fh.read() == data


def test_cache_hits_need_no_network(proxy, haulix, cache, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    first = haulix.resolve_zenodo_dropbox("ref", f"{ZENODO}/genome.fa")
    proxy.routes.clear()
    proxy.requests.clear()
    again = Haulix(str(cache))  # a later object over the same folder reuses it
    assert again.resolve_zenodo_dropbox("ref2", f"{ZENODO}/genome.fa") == first
    # an entry made without a record of its link (earlier versions, by hand) is taken as it is
    os.mkdir(cache / "folder")
    assert again.resolve_zenodo_dropbox("dir", f"{ZENODO}/folder") == str(cache / "folder")
    assert again.resolve_zenodo_dropbox("dir2", f"{DROPBOX}/folder") == str(cache / "folder")
    # a record of an earlier version holds the link alone
    (cache / "old.fa").write_text(">old\n")
    (cache / ".#old.fa").write_text(f"{ZENODO}/old.fa")
    assert again.resolve_zenodo_dropbox("old", f"{ZENODO}/old.fa") == str(cache / "old.fa")
    assert proxy.requests == []
    hits = [(r.msg, r.args) for r in caplog.records if r.msg.startswith("Using")]
    assert hits == [
        ("Using cached download for %s: %s", ("ref2", first)),
        ("Using cached download for %s: %s", ("dir", str(cache / "folder"))),
        ("Using cached download for %s: %s", ("dir2", str(cache / "folder"))),
        ("Using cached download for %s: %s", ("old", str(cache / "old.fa"))),
    ]


def test_two_records_with_one_file_name_stay_distinct(proxy, cache, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    one, two = "http://zenodo.org/records/111/files/reads.fq", "http://zenodo.org/records/222/files/reads.fq"
    drop = f"{DROPBOX}/reads.fq?dl=0"
    first = Haulix(str(cache)).resolve_zenodo_dropbox("a", one)
    assert first == str(cache / "reads.fq")  # the first link keeps the plain path
    second = Haulix(str(cache)).resolve_zenodo_dropbox("b", two)
    third = Haulix(str(cache)).resolve_zenodo_dropbox("c", drop)
    paths = {first, second, third}
    assert len(paths) == 3 and all(os.path.basename(p) == "reads.fq" for p in paths)
    assert open(second, "rb").read() == body_for(two) and open(first, "rb").read() == body_for(one)
    assert open(third, "rb").read() == body_for(f"{DROPBOX}/reads.fq?dl=1")
    # each link is recorded beside its file, and later calls hit only for the same link
    for path, link in [(first, one), (second, two), (third, f"{DROPBOX}/reads.fq?dl=1")]:
        assert record(path)["link"] == link
    proxy.requests.clear()
    again = Haulix(str(cache))
    assert [again.resolve_zenodo_dropbox("x", u) for u in (two, one, drop)] == [second, first, third]
    assert proxy.requests == []


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("failure", ["http-404", "refused"])
def test_opener_errors_reraised_unchanged(proxy, cache, monkeypatch, caplog, failure):
    haulix = Haulix(str(cache), retries=2, backoff=0)
    url = f"{ZENODO}/missing.txt"
    if failure == "http-404":
        proxy.routes[url] = 404
        expected = urllib.error.HTTPError
    else:
        monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{closed_port()}")
        expected = urllib.error.URLError
    real = urllib.request.urlopen
    calls, raised = [], []

    def recording_urlopen(*args, **kwargs):
        calls.append((args, kwargs))
        try:
            return real(*args, **kwargs)
        except Exception as exc:
            raised.append(exc)
            raise

    monkeypatch.setattr(urllib.request, "urlopen", recording_urlopen)
    with pytest.raises(expected) as exc:
        haulix.resolve_zenodo_dropbox("ref", url)
    file_calls = [c for c in calls if c[0][0] == url]
    assert exc.value is raised[-1]
    if failure == "http-404":  # fails at once
        assert file_calls == [((url,), {"timeout": 120})] and exc.value.code == 404
    else:  # retried, then the last error goes up
        assert file_calls == [((url,), {"timeout": 120})] * 3
        retries = [r.args[2:4] for r in caplog.records if r.msg.startswith("Download of %s failed")]
        assert retries == [(1, 2), (2, 2)]
    assert entries(cache) == [] and part_files(cache) == []


@pytest.mark.parametrize("cut", [cut_after_half, cut_chunked], ids=["content-length", "chunked"])
def test_cut_download_leaves_nothing_and_is_retried(proxy, cache, cut):
    haulix = Haulix(str(cache), retries=0)
    url = f"{ZENODO}/reads.fq.gz"
    proxy.routes[url] = cut
    with pytest.raises(http.client.IncompleteRead):
        haulix.resolve_zenodo_dropbox("reads", url)
    assert entries(cache) == []
    del proxy.routes[url]
    path = haulix.resolve_zenodo_dropbox("reads", url)
    assert downloads(proxy) == [url, url]
    with open(path, "rb") as fh:
        assert fh.read() == body_for(url)
    assert entries(cache) == ["reads.fq.gz"]


def test_file_errors_surface_before_any_transfer(proxy, haulix, cache):
    long_name = "n" * 300
    with pytest.raises(OSError) as exc:
        haulix.resolve_zenodo_dropbox("ref", f"{ZENODO}/{long_name}")
    assert exc.value.errno == 36  # ENAMETOOLONG
    shutil.rmtree(cache)
    with pytest.raises(FileNotFoundError) as exc:
        haulix.resolve_zenodo_dropbox("ref", f"{ZENODO}/a.txt")
    assert exc.value.filename == os.path.join(str(cache), "a.txt")
    assert proxy.requests == []


def run_in_thread(fn, *args):
    out = {}

    def target():
        try:
            out["value"] = fn(*args)
        except BaseException as exc:  # noqa: BLE001 - handed back to the test
            out["error"] = exc

    t = threading.Thread(target=target)
    t.start()
    return t, out


def test_concurrent_callers_both_get_the_complete_file(proxy, cache):
    url = f"{DROPBOX}/shared.bin?dl=0"
    fetched = f"{DROPBOX}/shared.bin?dl=1"
    data = os.urandom(2 * (1 << 20))
    both_in = threading.Barrier(2, timeout=10)

    def gated(handler):
        handler.send_response(200)
        handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        handler.wfile.write(data[: len(data) // 2])
        both_in.wait()
        handler.wfile.write(data[len(data) // 2 :])

    proxy.routes[fetched] = gated
    threads = [run_in_thread(Haulix(str(cache)).resolve_zenodo_dropbox, "x", url) for _ in range(2)]
    for t, _ in threads:
        t.join(20)
    results = [out for _, out in threads]
    assert all("error" not in r for r in results), results
    assert {r["value"] for r in results} == {str(cache / "shared.bin")}
    assert entries(cache) == ["shared.bin"]
    assert (cache / "shared.bin").read_bytes() == data


def test_failed_caller_keeps_file_another_caller_finished(proxy, cache):
    haulix = Haulix(str(cache), retries=0)
    url = f"{ZENODO}/ref.fa"
    data = body_for(url)
    slow_started, release = threading.Event(), threading.Event()

    def first_request_cut_late(handler):
        if not slow_started.is_set():
            slow_started.set()
            handler.send_body(data[:10], length=len(data))
            release.wait(10)
            handler.close_connection = True
        else:
            handler.send_body(data)

    proxy.routes[url] = first_request_cut_late
    t, out = run_in_thread(haulix.resolve_zenodo_dropbox, "slow", url)
    assert slow_started.wait(10)
    assert Haulix(str(cache)).resolve_zenodo_dropbox("fast", url) == str(cache / "ref.fa")
    release.set()
    t.join(20)
    assert isinstance(out.get("error"), http.client.IncompleteRead)
    assert entries(cache) == ["ref.fa"] and part_files(cache) == []
    assert (cache / "ref.fa").read_bytes() == data


# --- downloads that survive the network ------------------------------------------------------


def answer(h, status, body, start=0, *, etag=None, last_modified=None, cut=None, total=None):
    """Send `body` from byte `start` (status 206 adds a Content-Range), cut after `cut` bytes."""
    h.send_response(status)
    if status == 206:
        h.send_header("Content-Range", f"bytes {start}-{len(body) - 1}/{total or len(body)}")
    h.send_header("Content-Length", str(len(body) - start))
    if etag:
        h.send_header("ETag", etag)
    if last_modified:
        h.send_header("Last-Modified", last_modified)
    h.end_headers()
    h.send(body[start:cut])
    if cut is not None:
        h.close_connection = True


def range_start(h) -> int:
    rng = h.headers.get("Range")
    return int(rng.removeprefix("bytes=").rstrip("-")) if rng else 0


def zenodo_record(proxy, record_id, files: dict, shape="key"):
    """Serve the record's metadata in one of the shapes Zenodo has used."""
    if shape == "key":  # older records
        listing = [{"key": n, "checksum": "md5:" + hashlib.md5(b).hexdigest()} for n, b in files.items()]
    elif shape == "filename":  # bare digest, name under "filename"
        listing = [{"filename": n, "checksum": hashlib.md5(b).hexdigest()} for n, b in files.items()]
    else:  # entries keyed by name, a sha256 digest
        listing = {"entries": {n: {"key": n, "checksum": "sha256:" + hashlib.sha256(b).hexdigest()}
                               for n, b in files.items()}}
    proxy.routes[f"http://zenodo.org/api/records/{record_id}"] = json.dumps({"files": listing}).encode()


LAST_MODIFIED = "Tue, 01 Oct 2024 10:00:00 GMT"


@pytest.mark.parametrize("mode", ["resume", "last-modified", "ignore-range", "wrong-start", "wrong-total",
                                  "etag-changes", "etag-changes-206"])
def test_cut_body_resumes_only_with_the_same_body(proxy, cache, caplog, mode):
    url = "http://zenodo.org/records/9/files/reads.fq.gz"
    old, new = os.urandom(1 << 20), os.urandom(1 << 20)
    cut = int(len(old) * 0.6)
    etag = None if mode == "last-modified" else '"v1"'
    lm = LAST_MODIFIED if mode == "last-modified" else None

    def faulty(h):
        start = range_start(h)
        if len(proxy.seen) <= 2:  # metadata, then the first answer: cut at 60 %
            answer(h, 200, old, etag=etag, last_modified=lm, cut=cut)
        elif mode in ("resume", "last-modified") and h.headers.get("If-Range") == (etag or lm):
            answer(h, 206 if start else 200, old, start, etag=etag, last_modified=lm)
        elif mode == "ignore-range":
            answer(h, 200, old, etag=etag)
        elif mode in ("wrong-start", "wrong-total"):
            if start:
                answer(h, 206, old, start - 100 if mode == "wrong-start" else start, etag=etag,
                       total=len(old) + 1 if mode == "wrong-total" else None)
            else:
                answer(h, 200, old, etag=etag)
        elif mode == "etag-changes":  # honours If-Range: another body, so all of it
            answer(h, 200, new, etag='"v2"')
        else:  # ignores If-Range and sends part of another body
            answer(h, 206 if start else 200, new, start, etag='"v2"')

    proxy.routes[url] = faulty
    expected = new if mode.startswith("etag-changes") else old
    zenodo_record(proxy, 9, {"reads.fq.gz": expected})  # the splice must be byte-exact
    caplog.set_level(logging.INFO, logger=LOGGER)
    path = Haulix(str(cache), backoff=0).resolve_zenodo_dropbox("reads", url)
    assert open(path, "rb").read() == expected
    ranges = [(rng, if_range) for link, rng, if_range, _ in proxy.seen if link == url]
    asked = (f"bytes={cut}-", etag or lm)
    assert ranges == {
        "resume": [(None, None), asked],
        "last-modified": [(None, None), asked],
        "ignore-range": [(None, None), asked],
        "etag-changes": [(None, None), asked],
    }.get(mode, [(None, None), asked, (None, None)])  # a partial answer of no use: fetched whole
    if mode in ("resume", "last-modified"):
        assert proxy.sent - len(proxy.routes["http://zenodo.org/api/records/9"]) <= 1.05 * len(old)
    assert [r.msg for r in caplog.records if r.levelno == logging.WARNING] == [
        "Download of %s failed (%s); retry %s of %s in %s s"]
    assert entries(cache) == ["reads.fq.gz"] and part_files(cache) == []


@pytest.mark.parametrize("retry_after, max_wait, first_wait", [("2", 10, 2.0), ("date", 0.5, 0.5)])
def test_busy_server_is_retried_after_the_wait_it_asks(proxy, cache, caplog, retry_after, max_wait,
                                                       first_wait):
    url = f"{DROPBOX}/busy.txt?dl=1"  # as fetched
    codes = iter([429, 503, 503])

    def busy(h):
        code = next(codes, None)
        if code is None:
            return h.send_body(b"at last\n")
        h.send_response(code)
        if code == 429:  # an HTTP date far ahead: only the cap shortens it
            h.send_header("Retry-After", "2" if retry_after == "2" else
                          email.utils.formatdate(time.time() + 100, usegmt=True))
        h.send_header("Content-Length", "0")
        h.end_headers()

    proxy.routes[url] = busy
    h = Haulix(str(cache), backoff=0.01, max_wait=max_wait)
    assert open(h.resolve_zenodo_dropbox("busy", f"{DROPBOX}/busy.txt"), "rb").read() == b"at last\n"
    times = [t for link, *_, t in proxy.seen]
    waits = [r.args[4] for r in caplog.records if r.levelno == logging.WARNING]
    assert len(times) == 4 and waits[0] == first_wait and all(w <= 0.05 for w in waits[1:])
    assert times[1] - times[0] >= first_wait - 0.05 and times[3] - times[1] < first_wait


@pytest.mark.parametrize("shape", ["key", "filename", "entries"])
def test_zenodo_file_is_verified_and_rechecked_only_when_changed(proxy, cache, caplog, shape):
    url, data = "http://zenodo.org/records/42/files/reads%20one.fq", os.urandom(300_000)
    proxy.routes[url] = data
    zenodo_record(proxy, 42, {"reads one.fq": data}, shape)  # names unescaped
    caplog.set_level(logging.INFO, logger=LOGGER)
    path = Haulix(str(cache)).resolve_zenodo_dropbox("reads", url)
    algorithm = "sha256" if shape == "entries" else "md5"
    st = os.stat(path)
    assert record(path) == {"link": url, "checksum": f"{algorithm}:{hashlib.new(algorithm, data).hexdigest()}",
                            "size": len(data), "mtime_ns": st.st_mtime_ns}
    assert [r for r in caplog.records if r.levelno > logging.INFO] == []
    proxy.requests.clear()
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))  # touched, same bytes: still good
    assert Haulix(str(cache)).resolve_zenodo_dropbox("reads", url) == path and proxy.requests == []
    assert record(path)["mtime_ns"] == st.st_mtime_ns + 10**9
    with open(path, "r+b") as fh:  # damaged in place: fetched again
        fh.write(b"X")
    assert Haulix(str(cache)).resolve_zenodo_dropbox("reads", url) == path
    assert open(path, "rb").read() == data and downloads(proxy) == [url]


def test_wrong_checksum_caches_nothing_unless_verification_is_off(proxy, cache):
    url, data = "http://zenodo.org/records/43/files/x.bin", os.urandom(200_000)
    proxy.routes[url] = data
    zenodo_record(proxy, 43, {"x.bin": b"the record's bytes"})
    with pytest.raises(ChecksumError) as exc:
        Haulix(str(cache)).resolve_zenodo_dropbox("x", url)
    want, got = hashlib.md5(b"the record's bytes").hexdigest(), hashlib.md5(data).hexdigest()
    assert (exc.value.expected, exc.value.actual, exc.value.received) == (want, got, len(data))
    assert want in str(exc.value) and got in str(exc.value) and str(len(data)) in str(exc.value)
    assert isinstance(exc.value, ValueError) and entries(cache) == [] and part_files(cache) == []
    proxy.requests.clear()
    path = Haulix(str(cache), verify=False).resolve_zenodo_dropbox("x", url)  # a mirror's other bytes
    assert open(path, "rb").read() == data and proxy.requests == [url]


KILLED_CHILD = """
import sys
from tavro.helpers.haulix import Haulix
Haulix(sys.argv[1]).resolve_zenodo_dropbox("big", sys.argv[2])
"""


def test_killed_download_resumes_from_its_part_file(proxy, cache):
    url, data = "http://zenodo.org/records/5/files/big.bin", os.urandom(4 << 20)
    zenodo_record(proxy, 5, {"big.bin": data})
    cut, killed = len(data) // 3, threading.Event()

    def trickle(h):
        start = range_start(h)
        if start == 0:  # the first answer stalls after a third, until its client is gone
            answer(h, 200, data, etag='"e1"', cut=cut)
            killed.wait(20)
        else:
            answer(h, 206, data, start, etag='"e1"')

    proxy.routes[url] = trickle
    cache.mkdir()
    child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(cache), url])
    try:
        deadline = time.monotonic() + 20
        while not (part_files(cache) and os.path.getsize(cache / part_files(cache)[0]) > 0):
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.02)
        time.sleep(0.2)  # what has arrived of the first third is on disk
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        killed.set()
    kept = os.path.getsize(cache / part_files(cache)[0])
    assert 0 < kept <= cut
    assert record(cache / "big.bin") == {"link": url, "part-etag": '"e1"', "part-last-modified": "",
                                         "part-total": len(data)}
    path = Haulix(str(cache)).resolve_zenodo_dropbox("big", url)  # checked: the kept bytes are hashed too
    assert open(path, "rb").read() == data
    assert [rng for link, rng, *_ in proxy.seen if link == url] == [None, f"bytes={kept}-"]
    assert part_files(cache) == [] and "part-etag" not in record(path)


def test_long_download_reports_progress(proxy, cache, caplog, monkeypatch):
    monkeypatch.setattr(haulix_module, "_progress_after", 0.2, raising=False)
    monkeypatch.setattr(haulix_module, "_progress_every", 0.3, raising=False)
    url, data = f"{DROPBOX}/slow.bin?dl=1", os.urandom(1 << 20)

    def slow(h):
        answer(h, 200, data, cut=0)  # headers only, then the body in pieces
        h.close_connection = False
        for i in range(0, len(data), len(data) // 8):
            h.send(data[i:i + len(data) // 8])
            time.sleep(0.15)

    proxy.routes[url] = slow
    caplog.set_level(logging.INFO, logger=LOGGER)
    Haulix(str(cache)).resolve_zenodo_dropbox("slow", f"{DROPBOX}/slow.bin")
    progress = [r for r in caplog.records if r.msg.startswith("Progress of")]
    assert 2 <= len(progress) <= 4
    assert progress[0].msg == "Progress of %s: %s of %s bytes at %s MiB/s" and progress[0].args[2] == len(data)
    assert all(b.created - a.created >= 0.29 for a, b in zip(progress, progress[1:]))


@pytest.mark.parametrize("length", [2**63, 2**64 + 3])
def test_length_beyond_any_file_is_never_met(proxy, haulix, cache, length):
    url = f"{DROPBOX}/huge.bin?dl=1"
    proxy.routes[url] = lambda h: (h.send_body(b"abc", length=length), setattr(h, "close_connection", True))
    with pytest.raises(http.client.IncompleteRead) as exc:
        haulix.resolve_zenodo_dropbox("huge", f"{DROPBOX}/huge.bin")
    assert exc.value.expected == length - 3 and proxy.requests == [url]  # not retried
    assert entries(cache) == [] and part_files(cache) == []


def test_links_planted_in_the_cache_are_never_written_through(proxy, cache, tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    h = Haulix(str(cache), retries=0)
    (cache / ".#lock").write_text("")  # the lock of earlier versions: no record of "lock"
    os.symlink(outside / "record", cache / ".#a.txt")
    os.symlink(outside / "part", cache / ".part#a.txt")
    for name in ("a.txt", "lock"):
        url = f"{DROPBOX}/{name}?dl=1"
        assert h.resolve_zenodo_dropbox("x", f"{DROPBOX}/{name}") == str(cache / name)
        assert record(cache / name)["link"] == url and not os.path.islink(cache / f".#{name}")
    os.unlink(cache / ".lock#")
    os.symlink(outside / "lock", cache / ".lock#")
    with pytest.raises(OSError) as exc:
        h.resolve_zenodo_dropbox("x", f"{DROPBOX}/b.txt")
    assert exc.value.errno == errno.ELOOP and os.listdir(outside) == []


@pytest.mark.parametrize("kwargs, error", [({"retries": -1}, ValueError), ({"retries": 1.5}, TypeError),
                                           ({"backoff": -1}, ValueError), ({"max_wait": float("nan")}, ValueError)])
def test_retry_settings_are_checked(tmp_path, kwargs, error):
    with pytest.raises(error):
        Haulix(str(tmp_path), **kwargs)
