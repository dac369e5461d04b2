"""Shared test helpers: running code in a fresh interpreter, optionally with packages made
unimportable, so that import order and missing-dependency behaviour can be observed; and fixed
keys and IVs for tests whose outcome would otherwise depend on random bytes."""
import json
import subprocess
import sys
import textwrap
import types

import pytest
from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

# Installed first in the child: makes the named top-level packages fail to import the way a
# missing package does (ModuleNotFoundError), or with another exception class when asked to.
_BLOCKER = '''
import sys
class _Blocker:
    def __init__(self, names, exc):
        self.names, self.exc = set(names), exc
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in self.names:
            if self.exc is ModuleNotFoundError:
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
            raise self.exc(f"broken installation of {name}")
        return None
sys.meta_path.insert(0, _Blocker(NAMES, EXC))
'''


def run_python(code, *, block=(), block_with="ModuleNotFoundError", check=True, timeout=300):
    """Runs `code` in a fresh interpreter and returns the completed process (text output).

    `block` names top-level packages that cannot be imported in that interpreter."""
    prelude = _BLOCKER.replace("NAMES", repr(tuple(block))).replace("EXC", block_with) if block else ""
    source = prelude + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def run_json(code, **kwargs):
    """Runs `code`, which must print one JSON document as its last line, and returns it decoded."""
    proc = run_python(code, **kwargs)
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def fresh():
    return run_python


@pytest.fixture(scope="module")
def dask_client():
    """A distributed.LocalCluster of two single-threaded worker processes on 127.0.0.1 only."""
    distributed = pytest.importorskip("dask.distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


# An IV that the encrypting tests draw instead of a random one, so that a container or payload, and
# what a wrong key makes of it, are the same on every run.
FIXED_IV = bytes(range(0xA0, 0xB0))


@pytest.fixture
def fixed_iv(monkeypatch):
    """_encrypt_data (and so save_dump with a given key) of korva.utils.mtdump uses FIXED_IV."""
    import korva.utils.mtdump as D
    monkeypatch.setattr(D, "os", types.SimpleNamespace(urandom=lambda n: FIXED_IV[:n]))
    return FIXED_IV


def padding_is_invalid(payload, key):
    """Whether AES-256-CBC decryption of `payload` (IV + ciphertext) with `key` ends in invalid
    PKCS7 padding: the wrong-key case that must fail in the cipher step, which it does only by
    the data and key chosen (about one wrong key in 256 yields valid padding by chance)."""
    decryptor = Cipher(algorithms.AES(key), modes.CBC(payload[:16])).decryptor()
    padded = decryptor.update(payload[16:]) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    try:
        unpadder.update(padded)
        unpadder.finalize()
    except ValueError:
        return True
    return False
