"""User properties and structured payloads: every field type both ways, the view's mapping
behaviour, the tag writers keeping the other properties, and bad input leaving the message
exactly as it was."""

import collections.abc
import gc
import math
import struct

import fields
import pytest
from zelmsg import (
    Destination,
    Float32,
    Int8,
    Int16,
    Int32,
    Queue,
    QueueTemp,
    Smf,
    TopicTemp,
    UInt8,
    UInt16,
    UInt32,
    UInt64,
    UnknownField,
    WChar,
    ZelMsg,
)


def same(a, b):
    """Equal in value and in type all the way down; NaN and -0.0 compared by their bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[key], b[key]) for key in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def nested(levels, leaf="bottom"):
    value = leaf
    for _ in range(levels):
        value = {"down": value}
    return value


# (written, read back): what each Python value becomes, through every route that writes one.
ROUND_TRIPS = {
    "bool": (True, True),
    "int64 extremes": ([-(2**63), 0, 2**63 - 1], [-(2**63), 0, 2**63 - 1]),
    "int past int64": (2**63, UInt64(2**63)),
    **{
        f"{cls.__name__} extremes": ([cls(low), cls(high)], [cls(low), cls(high)])
        for cls, low, high in [
            (Int8, -128, 127),
            (Int16, -(2**15), 2**15 - 1),
            (Int32, -(2**31), 2**31 - 1),
            (UInt8, 0, 255),
            (UInt16, 0, 2**16 - 1),
            (UInt32, 0, 2**32 - 1),
            (UInt64, 0, 2**64 - 1),
        ]
    },
    "double": ([1.5, math.nan, -0.0, math.inf], [1.5, math.nan, -0.0, math.inf]),
    "float32": (
        [Float32(0.1), Float32(-0.0), Float32(math.nan), Float32(3.4028234663852886e38)],
        [Float32(0.1), Float32(-0.0), Float32(math.nan), Float32(3.4028234663852886e38)],
    ),
    "wchar": ([WChar("A"), WChar("\uffff"), WChar("é")], [WChar("A"), WChar("\uffff"), WChar("é")]),
    "str": (["", "héllo ☃"], ["", "héllo ☃"]),
    "bytes-likes": ([b"", b"\x00\xff", bytearray(b"ab"), memoryview(b"cd")], [b"", b"\x00\xff", b"ab", b"cd"]),
    "None": (None, None),
    # An SMF field and fields of types the library does not know, each kept as it was read.
    "smf and unknown": (
        [
            Smf(b""),
            Smf(b"\x00\xff"),
            UnknownField(b"\x30\x02"),
            UnknownField(b"\x0d\x00\x04\x07"),
            UnknownField(b"\x23\x00\x00\x00\x06\x00"),
            UnknownField(b"\x28\x02"),
        ],
        [
            Smf(b""),
            Smf(b"\x00\xff"),
            UnknownField(b"\x30\x02"),
            UnknownField(b"\x0d\x00\x04\x07"),
            UnknownField(b"\x23\x00\x00\x00\x06\x00"),
            UnknownField(b"\x28\x02"),
        ],
    ),
    "destinations": (
        [Destination("t/x"), Destination("q", Queue), Destination("t", TopicTemp), Destination("tq", QueueTemp)],
        # the library keeps a temporary kind as its plain one
        [Destination("t/x"), Destination("q", Queue), Destination("t"), Destination("tq", Queue)],
    ),
    "empty containers": ([{}, [], ()], [{}, [], []]),
    "nested 100 deep": (nested(99), nested(99)),
    "a map of everything": (
        {"a": [Int8(1), ("x", {"y": None})], "b": {"c": b"\x01"}},
        {"a": [Int8(1), ["x", {"y": None}]], "b": {"c": b"\x01"}},
    ),
}

ROUTES = {
    "item": lambda msg, value: msg.user_properties.__setitem__("k", value),
    "whole map": lambda msg, value: setattr(msg, "user_properties", {"k": value}),
    "map payload": lambda msg, value: setattr(msg, "map", {"k": value}),
    "stream payload": lambda msg, value: setattr(msg, "stream", [value]),
}
READS = {
    "item": lambda msg: msg.user_properties["k"],
    "whole map": lambda msg: dict(msg.user_properties)["k"],
    "map payload": lambda msg: msg.map["k"],
    "stream payload": lambda msg: msg.stream[0],
}


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("written, read", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_every_type_round_trips_through_every_route(route, written, read):
    msg = ZelMsg()
    ROUTES[route](msg, written)
    assert same(READS[route](msg), read)


def test_typed_classes_hold_their_range_and_round_float32():
    assert Float32(0.1) == 0.10000000149011612 and repr(Float32(0.5)) == "Float32(0.5)"
    assert repr(Int8(-5)) == "Int8(-5)" and repr(WChar("x")) == "WChar('x')"
    assert isinstance(UInt64(1), int) and isinstance(Float32(1), float) and isinstance(WChar("a"), str)
    for cls, outside in [
        (Int8, 128),
        (Int8, -129),
        (UInt8, -1),
        (UInt16, 2**16),
        (Int32, 2**31),
        (UInt32, 2**32),
        (UInt64, 2**64),
        (UInt64, -1),
        (Float32, 1e39),
        (WChar, "😀"),
    ]:
        with pytest.raises(OverflowError):
            cls(outside)
    with pytest.raises(ValueError):
        WChar("ab")


class Explodes(collections.abc.Mapping):
    """A mapping whose items fail halfway."""

    def __getitem__(self, key):
        if key == "second":
            raise RuntimeError("no second")
        return 1

    def __iter__(self):
        return iter(["first", "second"])

    def __len__(self):
        return 2


def self_containing():
    looped = {}
    looped["again"] = looped
    return looped


BAD = {
    "int key": ({1: "a"}, TypeError),
    "NUL key": ({"a\0b": 1}, ValueError),
    "empty key": ({"": 1}, ValueError),
    "object deep inside": ({"ok": 1, "deep": {"x": [object()]}}, TypeError),
    "set": ({"s": {1, 2}}, TypeError),
    "generator": ({"g": (n for n in ())}, TypeError),
    "int beyond uint64": ({"big": 2**64}, OverflowError),
    "int below int64": ({"small": -(2**63) - 1}, OverflowError),
    "NUL in a str": ({"s": "a\0b"}, ValueError),
    "destination the library refuses": ({"d": Destination("x" * 300)}, ValueError),
    "items failing midway": (Explodes(), RuntimeError),
    "nesting past the limit": (nested(1000), ValueError),
    "a map holding itself": (self_containing(), ValueError),
}


def a_message_with_everything():
    msg = ZelMsg()
    msg.user_properties = {"kept": Int16(7), "ct": "json"}
    msg.stream = ["kept", 1]
    return msg


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("value, error", BAD.values(), ids=BAD.keys())
def test_bad_input_leaves_the_message_exactly_as_it_was(route, value, error):
    msg = a_message_with_everything()
    before = repr(msg), dict(msg.user_properties), msg.stream
    with pytest.raises(error):
        ROUTES[route](msg, value)
    assert (repr(msg), dict(msg.user_properties), msg.stream) == before


def test_the_view_is_a_live_mutable_mapping():
    msg = ZelMsg()
    view = msg.user_properties
    assert isinstance(view, collections.abc.MutableMapping) and view == {} and len(view) == 0
    view.update({"a": 1, "b": "two"}, c=None)
    assert msg.user_properties == {"a": 1, "b": "two", "c": None} and list(view) == ["a", "b", "c"]
    assert view["a"] == 1 and "b" in view and view.get("zz", "none") == "none" and "zz" not in view
    assert view.setdefault("a", 5) == 1 and view.pop("c") is None and "c" not in view
    with pytest.raises(KeyError):
        view["zz"]
    with pytest.raises(KeyError):
        del view["zz"]
    for bad in (1, None, b"a"):
        for action in (lambda: view[bad], lambda: view.__setitem__(bad, 1), lambda: bad in view):
            with pytest.raises(TypeError):
                action()
    # Changes made while iterating neither show in the iteration nor break it.
    for name in view:
        del view[name]
        view["new-" + name] = 0
    assert list(view) == ["new-a", "new-b"]
    view.clear()
    assert view == {} and "User Property Map:" in repr(msg)
    assert view != {"a": 1} and view != [] and (view == 5) is False


def test_a_message_without_a_map_gets_one_only_from_a_write():
    msg = ZelMsg()
    msg.user_properties.clear()
    assert "zz" not in msg.user_properties and dict(msg.user_properties) == {}
    assert "User Property Map:" not in repr(msg)
    msg.user_properties = {}
    assert "User Property Map:" in repr(msg) and msg.user_properties == {}
    with pytest.raises(TypeError):
        msg.user_properties = None


def test_a_zelmsg_holding_no_message_reads_empty_and_refuses_writes():
    empty = ZelMsg.__new__(ZelMsg)
    assert dict(empty.user_properties) == {} and empty.map is None and empty.stream is None
    for write in (
        lambda: empty.user_properties.__setitem__("a", 1),
        lambda: setattr(empty, "user_properties", {"a": 1}),
        lambda: setattr(empty, "map", {"a": 1}),
        lambda: setattr(empty, "stream", [1]),
    ):
        with pytest.raises(ValueError):
            write()


def test_the_view_keeps_its_message_alive():
    view = ZelMsg().user_properties
    gc.collect()
    view["a"] = 1
    assert view == {"a": 1}


@pytest.mark.parametrize(
    "write",
    [
        lambda msg: setattr(msg, "json", {"a": 1}),
        lambda msg: setattr(msg, "msgpack", {"a": 1}),
        lambda msg: setattr(msg, "content_type", "text/plain"),
    ],
    ids=["json", "msgpack", "content_type"],
)
def test_the_tag_writers_change_ct_alone(write):
    msg = ZelMsg()
    msg.user_properties = {"ct": "old", "x": Int8(3), "nested": {"y": [1]}}
    write(msg)
    assert msg.user_properties == {"x": Int8(3), "nested": {"y": [1]}, "ct": msg.content_type}
    assert msg.content_type != "old" and msg.user_properties["ct"] == msg.content_type


def test_the_attachment_forms_read_what_they_should():
    msg = ZelMsg()
    msg.map = {"a": 1}
    assert msg.stream is None and msg.text is None and msg.body.startswith(b"\x2b")
    msg.stream = [1]
    assert msg.map is None and msg.text is None and msg.body.startswith(b"\x2f")
    msg.text = "t"
    assert msg.map is None and msg.stream is None
    msg.json = {"j": 1}
    assert msg.map is None and msg.stream is None and msg.text is None
    msg.map = {"b": 2}
    assert msg.content_type == "json" and msg.map == {"b": 2}  # the tag is left alone
    msg.map = None
    assert msg.body == b"" and msg.map is None
    with pytest.raises(TypeError):
        msg.map = [("a", 1)]
    with pytest.raises(TypeError):
        msg.stream = {"a": 1}


# Every width, as the library's own calls write them.
WRITTEN_BY_THE_LIBRARY = [
    (b"b", ("Boolean", 1)),
    (b"u8", ("Uint8", 255)),
    (b"i8", ("Int8", -128)),
    (b"u16", ("Uint16", 65535)),
    (b"i16", ("Int16", -32768)),
    (b"u32", ("Uint32", 2**32 - 1)),
    (b"i32", ("Int32", -(2**31))),
    (b"u64", ("Uint64", 5)),
    (b"i64", ("Int64", -(2**63))),
    (b"w", ("Wchar", 0x263A)),
    (b"s", ("String", b"t")),
    (b"a", ("ByteArray", b"\x00\x01")),
    (b"f", ("Float", 0.1)),
    (b"d", ("Double", -0.0)),
    (b"n", ("Null", None)),
    (b"q", ("Destination", (1, b"q/1"))),
    (b"m", ("Map", [(b"x", ("Stream", [(None, ("Int16", 7)), (None, ("Map", []))]))])),
]


def library_map(lib, capi, written, attachment=False):
    """A ZelMsg whose user property map, or map payload, the library's own calls wrote."""
    msg, builder = ZelMsg(), fields.Builder(lib)
    setter = lib.solClient_msg_setBinaryAttachmentContainer if attachment else lib.solClient_msg_setUserPropertyMap
    try:
        assert setter(capi.handle(msg), builder.container("Map", written)) == 0
    finally:
        builder.close()
    return msg


@pytest.mark.parametrize("where", ["user_properties", "map"])
def test_a_map_the_library_wrote_reads_typed_and_writes_back_the_same(lib, capi, where):
    theirs, ours = library_map(lib, capi, WRITTEN_BY_THE_LIBRARY, attachment=where == "map"), ZelMsg()
    read = dict(getattr(theirs, where))
    assert same(read, fields.read_of("Map", WRITTEN_BY_THE_LIBRARY))
    setattr(ours, where, read)
    assert same(dict(getattr(ours, where)), read)
    if not lib.has_control:  # the wire encoding is the genuine library's alone
        for msg in (theirs, ours):
            msg.dest = Destination("a/b")
        assert lib.encode(capi.handle(ours)) == lib.encode(capi.handle(theirs))


def test_the_first_of_a_duplicate_name_is_the_one_seen(lib, capi):
    msg = library_map(
        lib,
        capi,
        [(b"d", ("Int64", 1)), (b"x", ("Null", None)), (b"d", ("String", b"two")), (b"smf", ("ByteArray", b""))],
    )
    view = msg.user_properties
    assert view["d"] == 1 and list(view) == ["d", "x", "smf"] and len(view) == 3
    assert view.items() == [("d", 1), ("x", None), ("smf", b"")] and repr(msg).count("Key 'd'") == 2
    del view["d"]  # every field of the name
    assert "d" not in view and repr(msg).count("Key 'd'") == 0


EVERY_ACCESS = [
    lambda msg: setattr(msg, "user_properties", {"a": [1, {"b": Int8(2)}], "ct": "x"}),
    lambda msg: dict(msg.user_properties),
    lambda msg: msg.user_properties["a"],
    lambda msg: "zz" in msg.user_properties,
    lambda msg: msg.user_properties.__setitem__("c", {"d": [None]}),
    lambda msg: msg.user_properties.__delitem__("c"),
    lambda msg: msg.user_properties.items(),
    lambda msg: setattr(msg, "content_type", "y"),
    lambda msg: msg.content_type,
    lambda msg: setattr(msg, "json", {"j": 1}),
    lambda msg: setattr(msg, "map", {"m": {"n": []}}),
    lambda msg: msg.map,
    lambda msg: setattr(msg, "stream", [[1], {"s": 2}]),
    lambda msg: msg.stream,
    lambda msg: msg.user_properties.clear(),
]


@pytest.mark.standin_only
def test_every_container_handle_the_module_opens_is_closed(lib):
    msg, opened = ZelMsg(), lib.standin_open_containers()
    for access in EVERY_ACCESS:
        access(msg)
        assert lib.standin_open_containers() == opened


WHOLE_WRITES = {
    "user properties": lambda msg: setattr(msg, "user_properties", {"a": 1, "b": {"c": 2}}),
    "item": lambda msg: msg.user_properties.__setitem__("b", {"c": 2}),
    "map payload": lambda msg: setattr(msg, "map", {"a": 1, "b": [2]}),
}


@pytest.mark.standin_only
@pytest.mark.parametrize(
    "call, writes",
    [
        ("solClient_container_createMap", WHOLE_WRITES),
        ("solClient_container_addInt64", WHOLE_WRITES),
        ("solClient_container_addContainer", ["user properties", "map payload"]),
        ("solClient_msg_setUserPropertyMap", ["user properties"]),
        ("solClient_msg_setBinaryAttachmentContainer", ["map payload"]),
    ],
)
def test_a_refusal_by_the_library_raises_and_changes_nothing(lib, call, writes):
    msg = a_message_with_everything()
    before = repr(msg)
    for write in writes:
        lib.fail_next(call)
        with pytest.raises(ValueError, match="libsolclient refused"):
            WHOLE_WRITES[write](msg)
        lib.fail_next(call, times=0)
        assert repr(msg) == before, write
