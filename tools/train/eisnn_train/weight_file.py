"""Byte layout of .eisnn weight files: writing, and reading back.

All integers are little-endian and unpadded. A string is a u32 byte length
and UTF-8 bytes. The file is the magic, a u32 count of (key, value) string
pairs, a u32 count of tensor records; a record is its name, an encoding
byte, a u8 ndim, ndim u32 dims and the values. A record holds
max(1, product of dims) values, so a scalar needs no dimension.
"""
import json
import struct
from dataclasses import dataclass

import numpy as np

MAGIC = b"EISNN001"
ENCODING_FLOAT32 = 0
ENCODING_FLOAT16 = 1
# One float32 scale, then one signed byte per value (value = byte * scale).
ENCODING_INT8 = 2
_DTYPES = {ENCODING_FLOAT32: "<f4", ENCODING_FLOAT16: "<f2"}
_U32 = struct.Struct("<I")
_F32 = struct.Struct("<f")
_MAX_NDIM = 255


class WeightFileError(ValueError):
    """A file that does not follow the layout; the text is the module's."""


def _quoted(text):
    return json.dumps(text, ensure_ascii=False)


@dataclass(frozen=True)
class TensorRecord:
    name: str
    encoding: int
    dims: tuple
    values: np.ndarray  # float64, flat, row-major


@dataclass(frozen=True)
class WeightFile:
    metadata: list  # (key, value) pairs in file order
    tensors: list   # TensorRecord in file order

    def meta(self, key):
        """Value of a key; a key stored twice takes its later value."""
        found = [value for k, value in self.metadata if k == key]
        if not found:
            raise WeightFileError(f"weight file is missing {_quoted(key)}")
        return found[-1]

    def tensor(self, name):
        """Values of a tensor, reshaped to its dims; a later record wins."""
        found = [t for t in self.tensors if t.name == name]
        if not found:
            raise WeightFileError(f"weight file is missing {_quoted(name)}")
        record = found[-1]
        if record.dims and np.prod(record.dims) == record.values.size:
            return record.values.reshape(record.dims)
        return record.values


def _string(text):
    raw = text.encode("utf-8")
    return _U32.pack(len(raw)) + raw


def pack(metadata, tensors):
    """Bytes of a file from (key, value) pairs and (name, encoding, array)
    triples, in the order given."""
    out = [MAGIC, _U32.pack(len(metadata))]
    for key, value in metadata:
        out += [_string(key), _string(value)]
    out.append(_U32.pack(len(tensors)))
    for name, encoding, array in tensors:
        array = np.asarray(array, dtype=np.float64)
        if encoding not in _DTYPES:
            raise ValueError(f"tensor {name!r}: only float encodings are written")
        if array.ndim > _MAX_NDIM:
            raise ValueError(f"tensor {name!r} has too many dimensions")
        # A weight beyond the half-float range would silently become inf.
        with np.errstate(over="ignore"):
            stored = array.astype(_DTYPES[encoding])
        if not np.all(np.isfinite(stored)):
            raise ValueError(f"tensor {name!r} does not fit encoding {encoding}")
        out += [_string(name), bytes((encoding, array.ndim))]
        out += [_U32.pack(d) for d in array.shape]
        out.append(stored.tobytes())
    return b"".join(out)


class _Reader:
    """Cursor over the bytes; every read checks that the bytes exist."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, count):
        if count > len(self.data) - self.pos:
            raise WeightFileError("weight file is truncated")
        chunk = self.data[self.pos:self.pos + count]
        self.pos += count
        return chunk

    def u8(self):
        return self.take(1)[0]

    def u32(self):
        return _U32.unpack(self.take(_U32.size))[0]

    def string(self):
        try:
            return self.take(self.u32()).decode("utf-8")
        except UnicodeDecodeError:
            raise WeightFileError("weight file is truncated") from None


def _values(reader, encoding, count):
    if encoding in _DTYPES:
        width = np.dtype(_DTYPES[encoding]).itemsize
        return np.frombuffer(reader.take(count * width), dtype=_DTYPES[encoding]).astype(np.float64)
    if encoding == ENCODING_INT8:
        scale = _F32.unpack(reader.take(_F32.size))[0]
        return np.frombuffer(reader.take(count), dtype=np.int8).astype(np.float64) * scale
    raise WeightFileError(f"weight file uses tensor encoding {encoding}, which this build does not know")


def unpack(data):
    """Parse a whole file; raises WeightFileError with the module's texts."""
    data = bytes(data)
    if len(data) < len(MAGIC):
        raise WeightFileError("weight file is truncated")
    if data[:len(MAGIC)] != MAGIC:
        raise WeightFileError("not an eisnn weight file (bad magic bytes)")
    reader = _Reader(data)
    reader.pos = len(MAGIC)
    metadata = [(reader.string(), reader.string()) for _ in range(reader.u32())]
    tensors = []
    for _ in range(reader.u32()):
        name = reader.string()
        encoding = reader.u8()
        ndim = reader.u8()
        dims = tuple(reader.u32() for _ in range(ndim))
        count = max(1, int(np.prod(dims, dtype=object)))
        tensors.append(TensorRecord(name, encoding, dims, _values(reader, encoding, count)))
    return WeightFile(metadata, tensors)
