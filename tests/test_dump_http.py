"""Loading MTD containers by URL: both readers fetch with one GET from a real HTTP server on
127.0.0.1, send the caller's storage_options as request headers and nothing else, pass HTTP errors
through unchanged, and treat anything that is not a str beginning with "http://" or "https://" as a
local file."""
import gc
import http.server
import os
import struct
import threading
import time
import urllib.error
import urllib.request
import warnings
from pathlib import Path

import pytest

import korva.utils.mtd_loader as L
import korva.utils.mtdump as D
from conftest import padding_is_invalid

READERS = {"mtdump": D, "mtd_loader": L}
FD_DIR = "/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"
OBJ = {"name": "over http", "values": list(range(100)), "blob": bytes(range(256)), "pair": (1.5, None)}


class _Handler(http.server.BaseHTTPRequestHandler):
    timeout = 10  # a client that never sends a request line cannot hold a thread forever

    def _record(self):
        self.server.requests.append({"method": self.command, "path": self.path,
                                     "headers": [(k.lower(), v) for k, v in self.headers.items()]})

    def do_GET(self):
        self._record()
        status = self.server.statuses.get(self.path)
        body = self.server.files.get(self.path)
        if status is not None or body is None:
            self.send_error(status or 404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_HEAD(self):
        self._record()
        self.send_error(405)

    do_POST = do_HEAD

    def log_message(self, *args):
        pass


class _Site:
    def __init__(self, server):
        self.server = server
        self.base = f"http://127.0.0.1:{server.server_address[1]}"

    def put(self, name, data):
        self.server.files["/" + name] = data
        return f"{self.base}/{name}"

    def fail(self, name, status):
        self.server.statuses["/" + name] = status
        return f"{self.base}/{name}"

    @property
    def requests(self):
        return self.server.requests


@pytest.fixture(scope="module")
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
    srv.daemon_threads = True
    srv.files, srv.statuses, srv.requests = {}, {}, []
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.shutdown()
    srv.server_close()
    thread.join()


@pytest.fixture
def site(server):
    server.files.clear()
    server.statuses.clear()
    server.requests.clear()
    return _Site(server)


def _container(tmp_path, **kwargs):
    target = tmp_path / "src.mtd"
    result = D.save_dump(OBJ, target, **kwargs)
    return target.read_bytes(), result


def _extra_headers(request, baseline):
    return [h for h in request["headers"] if h not in baseline]


@pytest.fixture
def baseline_headers(site):
    # What urllib sends for a request with no headers of the caller's own.
    url = site.put("probe", b"probe")
    with urllib.request.urlopen(urllib.request.Request(url)) as response:
        response.read()
    headers = site.requests[-1]["headers"]
    site.requests.clear()
    return headers


@pytest.mark.parametrize("compression", ["zstd", None], ids=["zstd", "plain"])
@pytest.mark.parametrize("reader", READERS)
def test_load_by_url_with_one_get(tmp_path, site, reader, compression):
    data, _ = _container(tmp_path, compression=compression)
    url = site.put("x.mtd", data)
    assert READERS[reader].load_dump(url) == OBJ
    assert [(r["method"], r["path"]) for r in site.requests] == [("GET", "/x.mtd")]


@pytest.mark.parametrize("reader", READERS)
def test_storage_options_arrive_as_headers(tmp_path, site, baseline_headers, reader):
    url = site.put("x.mtd", _container(tmp_path)[0])
    options = {"Authorization": "Bearer t", "X-Trace": "1"}
    assert READERS[reader].load_dump(url, storage_options=options) == OBJ
    assert len(site.requests) == 1
    assert sorted(_extra_headers(site.requests[0], baseline_headers)) == [("authorization", "Bearer t"),
                                                                         ("x-trace", "1")]
    assert options == {"Authorization": "Bearer t", "X-Trace": "1"}


@pytest.mark.parametrize("options", [None, {}], ids=["None", "empty"])
@pytest.mark.parametrize("reader", READERS)
def test_no_storage_options_send_no_extra_headers(tmp_path, site, baseline_headers, reader, options):
    url = site.put("x.mtd", _container(tmp_path)[0])
    assert READERS[reader].load_dump(url, storage_options=options) == OBJ
    assert len(site.requests) == 1
    assert site.requests[0]["headers"] == baseline_headers


@pytest.mark.parametrize("status", [404, 500])
@pytest.mark.parametrize("reader", READERS)
def test_http_error_status_propagates(site, reader, status):
    url = site.fail("gone.mtd", status)
    with pytest.raises(urllib.error.HTTPError) as info:
        READERS[reader].load_dump(url, storage_options={"X-Trace": "e"})
    info.value.close()
    assert type(info.value) is urllib.error.HTTPError
    assert info.value.code == status
    assert [(r["method"], r["path"]) for r in site.requests] == [("GET", "/gone.mtd")]


def test_missing_document_is_a_404(site):
    with pytest.raises(urllib.error.HTTPError) as info:
        D.load_dump(f"{site.base}/nothing-here.mtd")
    info.value.close()
    assert info.value.code == 404


@pytest.mark.parametrize("reader", READERS)
def test_encrypted_container_over_http(tmp_path, site, fixed_iv, reader):
    R = READERS[reader]
    data, result = _container(tmp_path, passphrase=bytes(range(32)))
    assert padding_is_invalid(data[20 + struct.unpack_from("<Q", data, 4)[0]:], bytes(32))
    url = site.put("secret.mtd", data)
    assert R.load_dump(url, passphrase=result["passphrase"]) == OBJ
    with pytest.raises(R.MTDDecryptionError, match="^File is encrypted, but no passphrase was provided.$"):
        R.load_dump(url)
    with pytest.raises(R.MTDDecryptionError):
        R.load_dump(url, passphrase=bytes(32))
    assert [r["path"] for r in site.requests] == ["/secret.mtd"] * 3


def test_loader_takes_storage_options_as_fourth_positional(tmp_path, site, baseline_headers):
    url = site.put("x.mtd", _container(tmp_path)[0])
    assert L.load_dump(url, None, None, {"X-Trace": "4"}) == OBJ
    assert _extra_headers(site.requests[-1], baseline_headers) == [("x-trace", "4")]
    # The full reader's fourth parameter is return_info: the dict is only a truthy flag there.
    obj, info = D.load_dump(url, None, None, {"X-Trace": "4"})
    assert obj == OBJ and info["dump"]["serializer"] == "pickle"
    assert site.requests[-1]["headers"] == baseline_headers
    with pytest.raises(TypeError):
        L.load_dump(url, return_info=True)
    assert len(site.requests) == 2


def test_return_info_over_http(tmp_path, site):
    data, result = _container(tmp_path, meta={"origin": "web"})
    url = site.put("x.mtd", data)
    obj, info = D.load_dump(url, return_info=True)
    assert obj == OBJ
    assert list(info) == ["version", "environment", "modules", "dump", "meta"]
    assert info["dump"]["checksum"] == result["checksum"] and info["meta"] == {"origin": "web"}


@pytest.mark.parametrize("form", ["path", "upper", "mixed"])
@pytest.mark.parametrize("reader", READERS)
def test_non_url_forms_are_local_files(tmp_path, site, monkeypatch, reader, form):
    monkeypatch.chdir(tmp_path)
    url = site.put("x.mtd", _container(tmp_path)[0])
    path = {"path": Path(url), "upper": url.replace("http://", "HTTP://"),
            "mixed": url.replace("http://", "Http://")}[form]
    with pytest.raises(FileNotFoundError):
        READERS[reader].load_dump(path, storage_options={"X-Trace": "1"})
    assert site.requests == []


@pytest.mark.parametrize("reader", READERS)
def test_https_prefix_is_fetched_not_opened(site, monkeypatch, tmp_path, reader):
    # The test server speaks plain HTTP, so the TLS handshake fails: the reader went to the network.
    monkeypatch.chdir(tmp_path)
    with pytest.raises(urllib.error.URLError) as info:
        READERS[reader].load_dump(site.base.replace("http://", "https://") + "/x.mtd")
    assert not isinstance(info.value, urllib.error.HTTPError)


@pytest.mark.parametrize("reader", READERS)
def test_storage_options_ignored_for_local_files(tmp_path, site, reader):
    _, result = _container(tmp_path)
    assert READERS[reader].load_dump(str(tmp_path / "src.mtd"), storage_options={"X-Trace": "1"}) == OBJ
    assert site.requests == []


@pytest.mark.parametrize("reader", READERS)
def test_url_load_closes_the_response(tmp_path, site, reader):
    url = site.put("x.mtd", _container(tmp_path, passphrase="auto")[0])
    good = url
    bad = site.put("bad.mtd", b"MTD0" + bytes(40))
    before = len(os.listdir(FD_DIR))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(READERS[reader].MTDDecryptionError):
            READERS[reader].load_dump(good)
        with pytest.raises(READERS[reader].MTDFormatError):
            READERS[reader].load_dump(bad)
        gc.collect()
    assert [w for w in caught if issubclass(w.category, ResourceWarning)] == []
    # the server threads close their side of each connection on their own schedule
    deadline = time.monotonic() + 5
    while len(os.listdir(FD_DIR)) > before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(os.listdir(FD_DIR)) <= before


def _with_lengths(data, info_len=None, payload_len=None):
    n = struct.unpack_from("<Q", data, 4)[0]
    head, info, rest = data[:4], data[12:12 + n], data[20 + n:]
    return (head + struct.pack("<Q", n if info_len is None else info_len) + info
            + struct.pack("<Q", len(rest) if payload_len is None else payload_len) + rest)


@pytest.mark.parametrize("value", [2**32, 2**62, 2**64 - 1])
@pytest.mark.parametrize("reader", READERS)
def test_oversized_length_fields_over_http(tmp_path, site, reader, value):
    # A payload length beyond the body reads to its end (the payload is all there); an info length
    # beyond it swallows the payload into the dump info, which then fails to decode.
    data, _ = _container(tmp_path)
    url = site.put("long-payload.mtd", _with_lengths(data, payload_len=value))
    assert READERS[reader].load_dump(url) == OBJ
    url = site.put("long-info.mtd", _with_lengths(data, info_len=value))
    with pytest.raises(ValueError):
        READERS[reader].load_dump(url)


@pytest.mark.parametrize("reader", READERS)
def test_trailing_bytes_over_http_are_ignored(tmp_path, site, reader):
    url = site.put("x.mtd", _container(tmp_path, passphrase=bytes(range(32)))[0] + b"\x00trailer")
    assert READERS[reader].load_dump(url, passphrase=bytes(range(32))) == OBJ
