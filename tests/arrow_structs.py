"""Arrow C data interface structs made by hand with ctypes, for arrays no library would export:
NULL buffers, hostile offsets and lengths, schemas nested deeper than any real type."""

import ctypes
import struct


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


SchemaRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
ArrayRelease = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))

ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)), ("release", SchemaRelease),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)), ("release", ArrayRelease),
    ("private_data", ctypes.c_void_p),
]


# The consumer releases its own copy of the top struct: its release callback only marks it released
# (the memory stays Python's).
@SchemaRelease
def _release_schema(schema):
    schema[0].release = SchemaRelease()


@ArrayRelease
def _release_array(array):
    array[0].release = ArrayRelease()


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_SCHEMA_NAME = b"arrow_schema"
_ARRAY_NAME = b"arrow_array"


class Keep:
    """Everything the structs point to, kept alive as long as they are."""

    def __init__(self):
        self.objects = []

    def __call__(self, obj):
        self.objects.append(obj)
        return obj


def metadata(pairs):
    out = struct.pack("<i", len(pairs))
    for key, value in pairs.items():
        out += struct.pack("<i", len(key)) + key + struct.pack("<i", len(value)) + value
    return out


def schema(keep, fmt, children=(), dictionary=None, meta=None):
    s = keep(ArrowSchema())
    s.format = keep(fmt.encode())
    s.name = b""
    s.metadata = keep(meta) if meta is not None else None
    s.n_children = len(children)
    if children:
        s.children = keep((ctypes.POINTER(ArrowSchema) * len(children))(
            *[ctypes.pointer(c) for c in children]))
    if dictionary is not None:
        s.dictionary = ctypes.pointer(dictionary)
    s.release = _release_schema
    return s


def buffer(keep, data):
    """The address of a copy of data (bytes), or None for a NULL buffer."""
    if data is None:
        return None
    return ctypes.addressof(keep(ctypes.create_string_buffer(bytes(data), len(data) + 16)))


def array(keep, length, buffers, children=(), dictionary=None, offset=0, null_count=0):
    a = keep(ArrowArray())
    a.length, a.offset, a.null_count = length, offset, null_count
    a.n_buffers = len(buffers)
    a.buffers = keep((ctypes.c_void_p * max(len(buffers), 1))(
        *[buffer(keep, b) for b in buffers]))
    a.n_children = len(children)
    if children:
        a.children = keep((ctypes.POINTER(ArrowArray) * len(children))(
            *[ctypes.pointer(c) for c in children]))
    if dictionary is not None:
        a.dictionary = ctypes.pointer(dictionary)
    a.release = _release_array
    return a


class Producer:
    """Offers one hand-made array through __arrow_c_array__."""

    def __init__(self, keep, schema_struct, array_struct):
        self.keep, self.schema, self.array = keep, schema_struct, array_struct

    def __arrow_c_array__(self, requested_schema=None):
        return (_capsule_new(ctypes.addressof(self.schema), _SCHEMA_NAME, None),
                _capsule_new(ctypes.addressof(self.array), _ARRAY_NAME, None))


def offsets(values, width=4):
    return b"".join(v.to_bytes(width, "little", signed=True) for v in values)
