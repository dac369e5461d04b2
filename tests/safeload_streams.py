"""Hand-assembled pickle streams for the safe-loader tests: an assembler that writes opcodes one by one
(so a test can write what no pickler writes: a second BUILD, a frame cut inside an argument, a memo
key out of order) and a way to wrap any stream in a valid MTD container."""
import hashlib
import json
import struct

import korva.utils.mtdump as D


class Stream:
    """Opcodes appended one by one; `bytes(stream)` is the pickle."""

    def __init__(self, protocol=5):
        self.data = bytearray(b"\x80" + bytes([protocol]))
        self.protocol = protocol
        self.memo = 0

    def __bytes__(self):
        return bytes(self.data)

    def raw(self, data):
        self.data += data
        return self

    def text(self, value):
        value = value.encode("utf-8", "surrogatepass") if isinstance(value, str) else value
        if self.protocol >= 4 and len(value) < 256:
            return self.raw(b"\x8c" + bytes([len(value)]) + value)
        return self.raw(b"X" + struct.pack("<I", len(value)) + value)

    def bytes_(self, value):
        if self.protocol >= 5:
            return self.raw(b"\x96" + struct.pack("<Q", len(value)) + value)  # BYTEARRAY8
        return self.raw(b"B" + struct.pack("<I", len(value)) + value)

    def int(self, value):
        if 0 <= value < 256:
            return self.raw(b"K" + bytes([value]))
        if -2**31 <= value < 2**31:
            return self.raw(b"J" + struct.pack("<i", value))
        encoded = value.to_bytes((value.bit_length() + 8) // 8, "little", signed=True)
        return self.raw(b"\x8a" + bytes([len(encoded)]) + encoded)

    def global_(self, module, name):
        if self.protocol >= 4:
            return self.text(module).text(name).raw(b"\x93")
        return self.raw(b"c" + module.encode() + b"\n" + name.encode() + b"\n")

    def value(self, obj):
        """None, bools, ints, floats, str, bytes and tuples of them; a callable writes itself."""
        if callable(obj):
            obj(self)
            return self
        if obj is None:
            return self.raw(b"N")
        if obj is True or obj is False:
            return self.raw(b"\x88" if obj else b"\x89")
        if isinstance(obj, int):
            return self.int(obj)
        if isinstance(obj, float):
            return self.raw(b"G" + struct.pack(">d", obj))
        if isinstance(obj, str):
            return self.text(obj)
        if isinstance(obj, bytes) and self.protocol < 3:  # as protocol 2 writes bytes
            return self.call("_codecs", "encode", obj.decode("latin1"), "latin1")
        if isinstance(obj, bytes):
            return self.raw(b"C" + bytes([len(obj)]) + obj) if len(obj) < 256 else self.raw(
                b"B" + struct.pack("<I", len(obj)) + obj)
        if isinstance(obj, tuple):
            if len(obj) <= 3 and self.protocol >= 2:
                for item in obj:
                    self.value(item)
                return self.raw(b")\x85\x86\x87"[len(obj):len(obj) + 1])
            self.raw(b"(")
            for item in obj:
                self.value(item)
            return self.raw(b"t")
        raise TypeError(type(obj))

    def call(self, module, name, *args):
        """module.name(*args) by REDUCE, args written by value() unless they are callables that
        write themselves (lambda stream: ...)."""
        self.global_(module, name)
        self.raw(b"(")
        for arg in args:
            self.value(arg)
        return self.raw(b"tR")

    def put(self):
        index = self.memo
        self.memo += 1
        if self.protocol >= 4:
            self.raw(b"\x94")
        else:
            self.raw(b"q" + bytes([index]) if index < 256 else b"r" + struct.pack("<I", index))
        return index

    def get(self, index):
        return self.raw(b"h" + bytes([index]) if index < 256 else b"j" + struct.pack("<I", index))

    def build(self, state):
        self.value(state)
        return self.raw(b"b")

    def stop(self):
        return self.raw(b".")

    # ---- numpy pieces, written as numpy's own pickles write them ----
    def dtype(self, code, state):
        """numpy.dtype(code, False, True) and BUILD with `state` (a tuple, or a callable writing one)."""
        self.call("numpy", "dtype", code, False, True)
        return self.build(state)


F8_STATE = (3, "<", None, None, None, -1, -1, 0)


def f8(stream):
    stream.dtype("f8", F8_STATE)


def container(stream, serializer="pickle", compression="zstd"):
    """A valid MTD container around a serialized stream: the checksum matches, so every refusal
    is the reader's."""
    data = bytes(stream)
    info = {"version": 1, "dump": {"checksum": hashlib.sha256(data).hexdigest(), "serializer": serializer,
                                   "compression": compression, "encrypted": False}, "meta": {}}
    payload = D._compress_data(data, compression)
    info_bytes = json.dumps(info).encode()
    return b"MTD1" + struct.pack("<Q", len(info_bytes)) + info_bytes + struct.pack("<Q", len(payload)) + payload


def write(path, stream, **kwargs):
    path.write_bytes(container(stream, **kwargs))
    return path
