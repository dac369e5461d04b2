"""korva.utils.safeload on legitimate dumps: every estimator kind curve models are made of loads as
mtdump.load_dump loads it (same predictions, same errors), scan_dump reports its globals, the
streaming path agrees with the literal steps, and a URL is read within its time and size limits."""
import collections
import pickle
import pickletools

import dill
import numpy as np
import pytest
from sklearn.dummy import DummyRegressor
from sklearn.ensemble import (ExtraTreesRegressor, GradientBoostingRegressor, HistGradientBoostingRegressor,
                              RandomForestRegressor, VotingRegressor)
from sklearn.linear_model import (BayesianRidge, ElasticNet, HuberRegressor, Lasso, LinearRegression, Ridge,
                                  SGDRegressor)
from sklearn.neighbors import KNeighborsRegressor, RadiusNeighborsRegressor
from sklearn.pipeline import Pipeline
from sklearn.preprocessing import MinMaxScaler, StandardScaler
from sklearn.tree import DecisionTreeRegressor, ExtraTreeRegressor
from sklearn.utils import Bunch

import korva.utils.mtdump as D
import korva.utils.safeload as S

from curve_models import all_models

KEY = bytes(range(32))
RNG = np.random.default_rng(0)
X = RNG.normal(size=(80, 4))
Y = X[:, 0] * 2 + np.sin(X[:, 1]) + 0.1 * RNG.normal(size=len(X))
X_CATEGORICAL = np.column_stack([X[:, :3], RNG.integers(0, 6, len(X))])  # a last column of categories

ESTIMATORS = {
    "tree": lambda: DecisionTreeRegressor(max_depth=4),
    "extra tree": lambda: ExtraTreeRegressor(max_depth=4, random_state=0),
    "forest": lambda: RandomForestRegressor(4, max_depth=4, random_state=0),
    "extra trees": lambda: ExtraTreesRegressor(4, max_depth=4, random_state=0),
    "gb": lambda: GradientBoostingRegressor(n_estimators=4, random_state=0),
    "gb huber": lambda: GradientBoostingRegressor(n_estimators=4, loss="huber", random_state=0),
    "gb quantile": lambda: GradientBoostingRegressor(n_estimators=4, loss="quantile", random_state=0),
    "hgb": lambda: HistGradientBoostingRegressor(max_iter=4),
    "hgb early stopping": lambda: HistGradientBoostingRegressor(max_iter=6, early_stopping=True, n_iter_no_change=2,
                                                                random_state=0),
    "hgb absolute": lambda: HistGradientBoostingRegressor(max_iter=4, loss="absolute_error"),
    "hgb poisson": lambda: HistGradientBoostingRegressor(max_iter=4, loss="poisson"),
    "hgb categorical": lambda: HistGradientBoostingRegressor(max_iter=4, categorical_features=[3]),
    "knn kd": lambda: KNeighborsRegressor(3, algorithm="kd_tree"),
    "knn ball manhattan": lambda: KNeighborsRegressor(3, algorithm="ball_tree", metric="manhattan", weights="distance"),
    "knn ball chebyshev": lambda: KNeighborsRegressor(3, algorithm="ball_tree", metric="chebyshev"),
    "knn kd minkowski": lambda: KNeighborsRegressor(3, algorithm="kd_tree", p=3),
    "knn brute": lambda: KNeighborsRegressor(3, algorithm="brute"),
    "radius": lambda: RadiusNeighborsRegressor(3.0, algorithm="kd_tree"),
    "radius ball": lambda: RadiusNeighborsRegressor(3.0, algorithm="ball_tree"),
    "linear": LinearRegression,
    "ridge": Ridge,
    "lasso": lambda: Lasso(alpha=0.01),
    "elastic net": lambda: ElasticNet(alpha=0.01),
    "bayesian ridge": BayesianRidge,
    "huber": HuberRegressor,
    "sgd": lambda: SGDRegressor(max_iter=20, tol=None, random_state=0),
    "dummy": DummyRegressor,
    "dummy quantile": lambda: DummyRegressor(strategy="quantile", quantile=0.3),
    "pipeline": lambda: Pipeline([("scale", StandardScaler()), ("model", Ridge())]),
    "pipeline minmax knn": lambda: Pipeline([("scale", MinMaxScaler()), ("model", KNeighborsRegressor(3))]),
    "voting": lambda: VotingRegressor([("forest", RandomForestRegressor(3, max_depth=3, random_state=0)),
                                       ("hgb", HistGradientBoostingRegressor(max_iter=3)),
                                       ("knn", KNeighborsRegressor(3)), ("lr", LinearRegression())]),
    "voting gb": lambda: VotingRegressor([("gb", GradientBoostingRegressor(n_estimators=3, random_state=0)),
                                          ("tree", DecisionTreeRegressor(max_depth=3)), ("dummy", DummyRegressor())]),
}

_FITTED = {}


def data(kind):
    """What an estimator kind is fitted on and predicts."""
    if kind == "hgb categorical":
        return X_CATEGORICAL, Y
    return X, np.abs(Y) + 0.1 if kind == "hgb poisson" else Y


def fitted(kind):
    if kind not in _FITTED:
        _FITTED[kind] = ESTIMATORS[kind]().fit(*data(kind))
    return _FITTED[kind]


def save(tmp_path, obj, **kwargs):
    path = tmp_path / "model.mtd"
    D.save_dump(obj, path, **kwargs)
    return path


@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted"])
@pytest.mark.parametrize("serializer", ["pickle", "dill"])
@pytest.mark.parametrize("kind", ESTIMATORS)
def test_estimators_load_as_mtdump_loads_them(tmp_path, kind, serializer, encrypted):
    key = KEY if encrypted else None
    path = save(tmp_path, fitted(kind), serializer=serializer, passphrase=key)
    safe, info = S.load_dump(path, passphrase=key, return_info=True)
    reference = D.load_dump(path, passphrase=key)
    assert type(safe) is type(reference)
    np.testing.assert_array_equal(safe.predict(data(kind)[0]), reference.predict(data(kind)[0]))
    assert info["dump"]["serializer"] == serializer and info["dump"]["encrypted"] == encrypted


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
@pytest.mark.parametrize("serializer", ["pickle", "dill"])
@pytest.mark.parametrize("kind", ["voting", "hgb categorical", "gb huber"])
def test_every_protocol(tmp_path, kind, protocol, serializer):
    path = save(tmp_path, fitted(kind), serializer=serializer, protocol=protocol, compression=None)
    loaded = S.load_dump(path)
    # the same objects, shared the same way: pickled again, they are the same bytes
    assert pickle.dumps(loaded, protocol=5) == pickle.dumps(D.load_dump(path), protocol=5)
    np.testing.assert_array_equal(loaded.predict(data(kind)[0]), fitted(kind).predict(data(kind)[0]))


PLAIN_DATA = {"set": {1, 2}, "frozenset": frozenset("ab"), "complex": 1 + 2j, "bytearray": bytearray(b"\x00\xff"),
              "slice": slice(1, 9, 2), "range": range(2, 7), "ordered": collections.OrderedDict(b=1, a=2),
              "bytes": b"\x00\x80", "bunch": Bunch(a=1, b=[2.5]), "scalars": [np.float64(1.5), np.int32(3), np.bool_(True)],
              "arrays": [np.arange(6).reshape(2, 3), np.array(["ab", "c"]), np.array([1 + 1j]), np.asfortranarray(np.ones((2, 3))),
                         np.array([np.datetime64("2024-01-02")]), np.array([(1.0, 2)], dtype=[("a", "f8"), ("b", "i4")]),
                         np.arange(24.0).reshape(2, 3, 4).transpose(2, 0, 1), np.array([[1, "x"]], dtype=object)],
              "random": [np.random.default_rng(5), np.random.RandomState(5), np.random.Generator(np.random.Philox(1)),
                         np.random.Generator(np.random.SFC64(1)), np.random.Generator(np.random.PCG64DXSM(1))]}


def same(a, b):
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b) and a.flags.f_contiguous == b.flags.f_contiguous
    if isinstance(a, (np.random.Generator, np.random.RandomState)):
        return type(a) is type(b) and str(a.bit_generator.state if hasattr(a, "bit_generator") else a.get_state()) \
            == str(b.bit_generator.state if hasattr(b, "bit_generator") else b.get_state())
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return type(a) is type(b) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("protocol", [2, 5])
@pytest.mark.parametrize("serializer", ["pickle", "dill"])
def test_plain_data(tmp_path, serializer, protocol):
    data = dict(PLAIN_DATA)
    if serializer == "dill":
        del data["range"]  # dill writes range through its eval helper, which is refused (see the hostile tests)
    path = save(tmp_path, data, serializer=serializer, protocol=protocol)
    assert same(S.load_dump(path), D.load_dump(path))


def test_curve_models(tmp_path):
    models = all_models()
    path = save(tmp_path, models, passphrase=KEY)
    loaded = S.load_dump(path, passphrase=KEY)
    assert pickle.dumps(loaded, protocol=5) == pickle.dumps(D.load_dump(path, passphrase=KEY), protocol=5)


# ---------------------------------------------------------------------------------------------
# the container steps are mtdump's: same exceptions, same classes


def _damaged(tmp_path, how):
    path = save(tmp_path, fitted("tree"), passphrase=KEY if how in ("no key", "wrong key") else None)
    raw = bytearray(path.read_bytes())
    if how == "magic":
        raw[:4] = b"NOPE"
    elif how == "payload":
        raw[-40] ^= 0xFF
    elif how == "info":
        raw[14] = ord("!")
    path.write_bytes(bytes(raw))
    return path


@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
@pytest.mark.parametrize("how, kwargs", [("magic", {}), ("payload", {}), ("info", {}), ("no key", {}),
                                         ("wrong key", {"passphrase": bytes(32)}), ("checksum", {"checksum": "0" * 64}),
                                         ("missing", {})])
def test_container_errors_are_mtdumps(tmp_path, reader, how, kwargs):
    path = tmp_path / "absent.mtd" if how == "missing" else _damaged(tmp_path, how)
    with pytest.raises(Exception) as expected:
        D.load_dump(path, **kwargs)
    with pytest.raises(Exception) as got:
        getattr(S, reader)(path, **kwargs)
    assert type(got.value) is type(expected.value) and str(got.value) == str(expected.value)
    assert not isinstance(got.value, S.MTDUntrustedError)


def test_exception_classes():
    assert S.MTDError is D.MTDError and S.MTDChecksumError is D.MTDChecksumError
    assert issubclass(S.MTDUntrustedError, D.MTDError) and S.MTDUntrustedError.__module__ == "korva.utils.safeload"
    assert "safeload" not in __import__("korva.utils").utils.__all__


# ---------------------------------------------------------------------------------------------
# scan_dump


def reference_globals(data):
    """The globals of a stream in first-use order, from pickletools (STACK_GLOBAL through the memo)."""
    names, stack, memo = [], [], {}
    for op, arg, _ in pickletools.genops(data):
        if op.name in ("GLOBAL", "INST"):
            names.append(arg.replace(" ", "."))
        elif op.name == "STACK_GLOBAL":
            name, module = stack.pop(), stack.pop()
            names.append(f"{module}.{name}")
            stack.append(None)
        if op.name in ("SHORT_BINUNICODE", "BINUNICODE", "BINUNICODE8"):
            stack.append(arg)
        elif op.name == "MEMOIZE":
            memo[len(memo)] = stack[-1]
        elif op.name in ("BINPUT", "LONG_BINPUT"):
            memo[arg] = stack[-1]
        elif op.name in ("BINGET", "LONG_BINGET"):
            stack.append(memo[arg])
        elif op.name not in ("FRAME", "PROTO", "STACK_GLOBAL", "GLOBAL", "INST"):
            stack.append(None)
    return list(dict.fromkeys(names))


@pytest.mark.parametrize("serializer", ["pickle", "dill"])
@pytest.mark.parametrize("kind", ["voting", "voting gb", "knn ball manhattan", "hgb"])
def test_scan_lists_the_globals(tmp_path, kind, serializer):
    path = save(tmp_path, fitted(kind), serializer=serializer)
    report = S.scan_dump(path)
    data = (dill if serializer == "dill" else pickle).dumps(fitted(kind), protocol=5)
    assert [g["name"] for g in report["globals"]] == reference_globals(data)
    assert report["trusted"] and report["refused_opcodes"] == [] and report["serializer"] == serializer
    assert all(g["trusted"] and g["name"] in S.DEFAULT_TRUSTED for g in report["globals"])
    assert report["info"] == D.load_dump(path, return_info=True)[1]


def test_scan_reports_uses(tmp_path):
    report = S.scan_dump(save(tmp_path, fitted("knn kd"), compression=None, protocol=2))
    uses = {g["name"]: g["uses"] for g in report["globals"]}
    assert uses["sklearn.neighbors._regression.KNeighborsRegressor"] == ["NEWOBJ", "BUILD"]
    # BUILD is reported for the global that made the object BUILD fills
    assert uses["sklearn.neighbors._kd_tree.newObj"] == ["REDUCE", "BUILD"]
    assert uses["sklearn.neighbors._kd_tree.KDTree"] == ["reference"]
    assert uses["numpy._core.multiarray._reconstruct"] == ["REDUCE", "BUILD"]
    assert uses["numpy.ndarray"] == ["reference"]
    assert uses["_codecs.encode"] == ["REDUCE"]
    # protocol 2's renames: __builtin__ is reported as builtins
    assert all(not g["name"].startswith("__builtin__") for g in report["globals"])


def _literal_decompress(monkeypatch):
    # a replacement stage: scan_dump takes the literal steps
    real = D._decompress_data
    monkeypatch.setattr(S, "_decompress_data", lambda data, compression: real(data, compression))


@pytest.mark.parametrize("reader", ["scan_dump", "load_dump"])
@pytest.mark.parametrize("damage", [None, "checksum", "trailing", "frame"])
def test_streaming_path_matches_literal_steps(tmp_path, monkeypatch, reader, damage):
    obj = {"model": fitted("voting"), "text": "x" * 300_000, "blob": bytes(range(256)) * 5000}
    path = save(tmp_path, obj, passphrase=KEY)
    kwargs = {"passphrase": KEY, "checksum": "0" * 64 if damage == "checksum" else None}
    if damage in ("trailing", "frame"):
        # a payload with bytes after the frame, or a frame cut short: re-encrypted so only the zstd layer differs
        import zstandard
        serialized = pickle.dumps(obj, protocol=5)
        frame = zstandard.compress(serialized)
        monkeypatch.setattr(D, "_compress_data", lambda data, compression: frame + b"\0" * 7 if damage == "trailing"
                            else frame[:-9])
        D.save_dump(obj, path, passphrase=KEY)
        monkeypatch.undo()

    def outcome():
        try:
            result = getattr(S, reader)(path, **kwargs)
            return result if reader == "scan_dump" else pickle.dumps(result, protocol=5)
        except Exception as error:  # the exception is part of what must agree
            return type(error), str(error)
    streamed = outcome()
    _literal_decompress(monkeypatch)
    assert outcome() == streamed


class _Sha256:
    """hashlib.sha256 as a Python class: every construction and update is recorded."""
    calls = []

    def __init__(self, data=b""):
        import hashlib
        self._hash = hashlib.new("sha256", data)
        self.calls.append(("new", len(data)))

    def update(self, data):
        self.calls.append(("update", len(data)))
        self._hash.update(data)

    def hexdigest(self):
        return self._hash.hexdigest()


class _Decompressor:
    """zstandard.ZstdDecompressor wrapped in Python (its compiled types do not survive subclassing)."""
    calls = []
    real = __import__("zstandard").ZstdDecompressor

    def __init__(self, *args, **kwargs):
        self._real = self.real(*args, **kwargs)

    def decompress(self, data, *args, **kwargs):
        self.calls.append("decompress")
        return self._real.decompress(data, *args, **kwargs)

    def stream_reader(self, *args, **kwargs):
        self.calls.append("stream_reader")
        return self._real.stream_reader(*args, **kwargs)


@pytest.mark.parametrize("replaced", ["hashlib.sha256", "zstandard.ZstdDecompressor"])
def test_replaced_library_parts_see_the_literal_calls(tmp_path, monkeypatch, replaced):
    # the piecewise path calls the libraries differently: only their own compiled code may be under it
    obj = {"blob": bytes(range(256)) * 5000}
    path = save(tmp_path, obj)
    module, name = replaced.rsplit(".", 1)
    stand_in = {"hashlib.sha256": _Sha256, "zstandard.ZstdDecompressor": _Decompressor}[replaced]
    monkeypatch.setattr(__import__(module), name, stand_in)
    stand_in.calls.clear()
    report = S.scan_dump(path)
    seen = list(stand_in.calls)
    stand_in.calls.clear()
    D.load_dump(path)
    assert seen == stand_in.calls and seen and report["trusted"]


def test_a_replaced_readinto_is_never_handed_korvas_buffers(tmp_path, fresh):
    # zstandard's reader class is mutable: a readinto put on it could release korva's buffers or claim
    # bytes it never wrote, so the pieces are read only through the class's own compiled readinto
    path = save(tmp_path, {"blob": bytes(range(256)) * 5000, "model": fitted("tree")})
    fresh(f"""
        import zstandard, korva.utils.mtdump as D, korva.utils.safeload as S
        reader_type = type(zstandard.ZstdDecompressor().stream_reader(b""))
        calls = []
        def readinto(self, buffer):
            calls.append(len(buffer))
            buffer.release()
            return 262144
        expected = S.scan_dump({str(path)!r}), S.load_dump({str(path)!r})["model"].predict([[0.0] * 4])
        reader_type.readinto = readinto
        got = S.scan_dump({str(path)!r}), S.load_dump({str(path)!r})["model"].predict([[0.0] * 4])
        assert calls == [] and got[0] == expected[0] and (got[1] == expected[1]).all(), calls
    """)


@pytest.mark.parametrize("reader", ["scan_dump", "load_dump"])
def test_a_replaced_sha256_fails_as_the_literal_steps_fail(tmp_path, monkeypatch, reader):
    # another compiled function in hashlib.sha256's place: the literal steps' own error, not the pieces'
    import hashlib
    import zlib
    path = save(tmp_path, {"blob": bytes(range(256)) * 5000})
    monkeypatch.setattr(hashlib, "sha256", zlib.crc32)
    with pytest.raises(Exception) as expected:
        D.load_dump(path)
    with pytest.raises(Exception) as got:
        getattr(S, reader)(path)
    assert type(got.value) is type(expected.value) is AttributeError and str(got.value) == str(expected.value)


def test_scans_from_many_threads_at_once(tmp_path):
    import concurrent.futures
    for i in range(4):
        (tmp_path / str(i)).mkdir()
    paths = [save(tmp_path / str(i), {"model": fitted("forest"), "text": "x" * (300_000 + i)}) for i in range(4)]
    expected = [S.scan_dump(p) for p in paths]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        got = list(pool.map(S.scan_dump, paths * 6))
    assert got == expected * 6


# ---------------------------------------------------------------------------------------------
# by URL: the same reader as mtdump's, from a real HTTP server on 127.0.0.1

import http.server  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

from test_dump_http import server, site  # noqa: E402,F401  (the fixtures)


@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
def test_by_url(tmp_path, site, reader):
    D.save_dump(fitted("voting"), tmp_path / "m.mtd", passphrase=KEY)
    url = site.put("m.mtd", (tmp_path / "m.mtd").read_bytes())
    result = getattr(S, reader)(url, passphrase=KEY, storage_options={"X-Trace": "1"})
    if reader == "load_dump":
        np.testing.assert_array_equal(result.predict(X), fitted("voting").predict(X))
    else:
        assert result["trusted"]
    assert [(r["method"], r["path"]) for r in site.requests] == [("GET", "/m.mtd")]
    assert ("x-trace", "1") in site.requests[0]["headers"]


class _Trickle(http.server.BaseHTTPRequestHandler):
    """Serves the server's body one byte at a time, a pause between bytes, with or without a length."""

    def do_GET(self):
        body, pause, declared = self.server.body, self.server.pause, self.server.declared
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if declared is not None:
            self.send_header("Content-Length", str(declared))
        self.end_headers()
        try:
            if pause:
                for i in range(len(body)):
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                    time.sleep(pause)
            else:
                self.wfile.write(body)
        except OSError:
            pass  # the reader gave up

    def log_message(self, *args):
        pass


@pytest.fixture
def trickle():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Trickle)
    srv.daemon_threads = True
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()

    def serve(body, pause=0.0, declared=None):
        srv.body, srv.pause, srv.declared = body, pause, declared
        return f"http://127.0.0.1:{srv.server_address[1]}/m.mtd"
    try:
        yield serve
    finally:
        srv.shutdown()
        srv.server_close()


@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
def test_a_url_that_trickles_times_out(tmp_path, trickle, reader):
    # every byte comes well within any per-read timeout; the whole body does not come within `timeout`
    body = save(tmp_path, fitted("tree")).read_bytes()
    url = trickle(body, pause=0.05, declared=len(body))
    started = time.monotonic()
    with pytest.raises(TimeoutError):
        getattr(S, reader)(url, timeout=0.5)
    assert time.monotonic() - started < 30  # a hang guard only


@pytest.mark.parametrize("declared", [True, False], ids=["declared length", "unknown length"])
@pytest.mark.parametrize("reader", ["load_dump", "scan_dump"])
def test_a_url_body_is_bounded(tmp_path, trickle, reader, declared):
    body = save(tmp_path, {"blob": np.random.default_rng(0).bytes(200_000)}, compression=None).read_bytes()
    url = trickle(body, declared=len(body) if declared else None)
    with pytest.raises(S.MTDUntrustedError, match="longer than max_bytes=100000"):
        getattr(S, reader)(url, max_bytes=100_000)
    assert getattr(S, reader)(url, max_bytes=len(body)) is not None
    assert len(D.load_dump(url)["blob"]) == 200_000  # mtdump's own reader keeps no such limit
