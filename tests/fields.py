"""The library calls a Python value becomes as a field, made through ctypes: the twin that
zelmsg's user properties and structured payloads are compared with. For every kind the
vendor's own API also writes, test_vendor.py holds zelmsg to that independent conversion on
the genuine library; the kinds only zelmsg writes (the typed widths, bytes, destinations)
follow the table below."""

import struct
from collections.abc import Mapping

import zelmsg
from solclient import (
    BOOL,
    BYTEARRAY,
    DESTINATION,
    DOUBLE,
    FLOAT,
    INT8,
    INT16,
    INT32,
    INT64,
    MAP,
    NOT_FOUND,
    NULL,
    OK,
    SMF,
    STREAM,
    STRING,
    UINT8,
    UINT16,
    UINT32,
    UINT64,
    UNKNOWN,
    WCHAR,
)

MAX_DEPTH = 1000
# zelmsg's typed classes, checked first, and the add call of each.
TYPED = [
    (zelmsg.Float32, "Float"),
    (zelmsg.WChar, "Wchar"),
    (zelmsg.Int8, "Int8"),
    (zelmsg.Int16, "Int16"),
    (zelmsg.Int32, "Int32"),
    (zelmsg.UInt8, "Uint8"),
    (zelmsg.UInt16, "Uint16"),
    (zelmsg.UInt32, "Uint32"),
    (zelmsg.UInt64, "Uint64"),
    (zelmsg.Smf, "Smf"),
    (zelmsg.UnknownField, "UnknownField"),
]
READ_AS = {
    INT8: zelmsg.Int8,
    INT16: zelmsg.Int16,
    INT32: zelmsg.Int32,
    UINT8: zelmsg.UInt8,
    UINT16: zelmsg.UInt16,
    UINT32: zelmsg.UInt32,
    UINT64: zelmsg.UInt64,
}


def utf8(data):
    """data decoded as zelmsg decodes the library's text: what is not UTF-8 is a ValueError."""
    try:
        return data.decode()
    except UnicodeDecodeError:
        raise ValueError("not UTF-8") from None


def text(value):
    data = value.encode()  # a lone surrogate raises UnicodeEncodeError, a ValueError
    if b"\0" in data:
        raise ValueError("NUL")
    return data


def name_of(key):
    if not isinstance(key, str):
        raise TypeError("name")
    if key == "":
        raise ValueError("empty name")
    return text(key)


def field_of(value, depth):
    """(the add call's kind, its argument): a container as ("Map" or "Stream", [(name, field)]),
    converted whole; raises what zelmsg raises."""
    for cls, kind in TYPED:
        if isinstance(value, cls):
            if kind in ("Smf", "UnknownField"):
                return kind, bytes(value)
            return kind, float(value) if kind == "Float" else ord(value) if kind == "Wchar" else int(value)
    if isinstance(value, bool):
        return "Boolean", int(value)
    if isinstance(value, int):
        if -(2**63) <= value < 2**63:
            return "Int64", int(value)
        if 2**63 <= value < 2**64:
            return "Uint64", int(value)
        raise OverflowError("int")
    if isinstance(value, float):
        return "Double", float(value)
    if isinstance(value, str):
        return "String", text(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "ByteArray", bytes(value)
    if value is None:
        return "Null", None
    if isinstance(value, zelmsg.Destination):
        name = value.dest.encode() if isinstance(value.dest, str) else value.dest
        if b"\0" in name:
            raise ValueError("NUL")
        # The library takes a topic or queue (temporary ones too) named in at most 249 bytes.
        if not 0 <= int(value.dest_type) <= 3 or len(name) > 249:
            raise ValueError("refused by the library")
        return "Destination", (int(value.dest_type), name)
    if isinstance(value, Mapping) or isinstance(value, (list, tuple)):
        if depth + 1 > MAX_DEPTH:
            raise ValueError("too deep")
        if isinstance(value, Mapping):
            return "Map", [(name_of(key), field_of(item, depth + 1)) for key, item in value.items()]
        return "Stream", [(None, field_of(item, depth + 1)) for item in value]
    raise TypeError(type(value).__name__)


def fields_of_map(mapping):
    """A mapping's fields, as field_of gives them; raises what zelmsg raises."""
    if not isinstance(mapping, Mapping):
        raise TypeError("not a mapping")
    return [(name_of(key), field_of(item, 1)) for key, item in mapping.items()]


class Builder:
    """Standalone containers built with the library's calls, each in memory of its own, as
    zelmsg builds them: a container is made apart and copied into its parent."""

    def __init__(self, lib):
        self.lib, self.made = lib, []

    def container(self, kind, fields, size=1 << 16):
        rc, handle, memory = self.lib.standalone(kind, size)
        assert rc == OK
        self.made.append((handle, memory))
        for name, (add, argument) in fields:
            if add in ("Map", "Stream"):
                self.lib.solClient_container_addContainer(handle, self.container(add, argument), name)
            else:
                self.lib.add(handle, add, argument, name)
        return handle

    def close(self):
        for handle, _ in reversed(self.made):
            self.lib.close(handle)


def write_user_properties(lib, msg, mapping):
    builder = Builder(lib)
    try:
        lib.solClient_msg_setUserPropertyMap(msg, builder.container("Map", fields_of_map(mapping)))
    finally:
        builder.close()


def value_of(kind, value):
    """The Python value zelmsg reads for a field, from what Library.next_field gives."""
    if kind == BOOL:
        return bool(value)
    if kind == INT64:
        return value
    if kind in READ_AS:
        return READ_AS[kind](value)
    if kind == FLOAT:
        return zelmsg.Float32(struct.unpack("<f", struct.pack("<I", value))[0])
    if kind == DOUBLE:
        return struct.unpack("<d", struct.pack("<Q", value))[0]
    if kind == WCHAR:
        return zelmsg.WChar(chr(value & 0xFFFF))
    if kind == STRING:
        return utf8(value)
    if kind == BYTEARRAY:
        return value
    if kind in (SMF, UNKNOWN):
        return (zelmsg.Smf if kind == SMF else zelmsg.UnknownField)(value)
    if kind == DESTINATION:
        return zelmsg.Destination(value[1], zelmsg.DestinationType(value[0]))
    if kind == MAP:
        read = {}
        for name, item_kind, item in value:
            if utf8(name) not in read:  # the first of a name; a later one is never read
                read[utf8(name)] = value_of(item_kind, item)
        return read
    if kind == STREAM:
        return [value_of(item_kind, item) for _, item_kind, item in value]
    assert kind == NULL
    return None


def read_of(add, argument):
    """What zelmsg reads back for a field written as field_of gives it."""
    if add == "Map":
        read = {}
        for name, item in argument:
            read.setdefault(name.decode(), read_of(*item))  # the first of a name
        return read
    if add == "Stream":
        return [read_of(*item) for _, item in argument]
    if add == "Destination":
        # A temporary kind reads back as its plain one.
        return zelmsg.Destination(argument[1], zelmsg.DestinationType(argument[0] & 1))
    return {
        "Boolean": bool,
        "Int64": int,
        "Double": float,
        "String": bytes.decode,
        "ByteArray": bytes,
        "Null": lambda _: None,
        "Float": zelmsg.Float32,
        "Wchar": lambda code: zelmsg.WChar(chr(code)),
        **{kind: cls for cls, kind in TYPED if kind not in ("Float", "Wchar")},
    }[add](argument)


def read_user_properties(lib, msg):
    """What msg.user_properties reads as a dict, read with the library's calls."""
    rc, container = lib.user_map(msg)
    if rc == NOT_FOUND:
        return {}
    if rc != OK:
        raise ValueError("refused by the library")
    try:
        return value_of(MAP, lib.fields(container))
    finally:
        lib.close(container)
