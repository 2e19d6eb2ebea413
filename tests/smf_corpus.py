"""Messages made with zelmsg and their wire encodings: the round-trip corpus of the damaged-
encoding tests and the seeds of scripts/fuzz-smf. It covers every field type at its edges,
every header field, every payload form, sizes from empty to past 16 MiB (where the library's
lengths change width) and nesting to zelmsg's limit, and the header parameters a broker adds.

Needs the genuine library, which alone has the wire encoding."""

import math
import random
import struct
import sys

from solclient import BROKER_PARAMETERS
from zelmsg import (
    Destination,
    Direct,
    Float32,
    Int8,
    Int16,
    Int32,
    NonPersistent,
    Persistent,
    Queue,
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

MAX_DEPTH = 1000  # zelmsg's own nesting limit, the payload or property map itself included
MiB = 1 << 20
HUGE = 17 * MiB  # past 16 MiB, where 3-byte lengths no longer hold a section

# Values at the edges of every field type, and the length-field widths of text and bytes.
SCALARS = [
    None,
    True,
    False,
    0,
    -(2**63),
    2**63 - 1,
    2**63,
    2**64 - 1,
    Int8(-128),
    Int8(127),
    Int16(-(2**15)),
    Int16(2**15 - 1),
    Int32(-(2**31)),
    Int32(2**31 - 1),
    UInt8(0),
    UInt8(255),
    UInt16(2**16 - 1),
    UInt32(2**32 - 1),
    UInt64(0),
    UInt64(2**64 - 1),
    0.0,
    -0.0,
    1.5e308,
    5e-324,
    math.inf,
    -math.inf,
    math.nan,
    Float32(-0.0),
    Float32(3.5),
    Float32(math.inf),
    Float32(math.nan),
    WChar("\0"),
    WChar("a"),
    WChar("é"),
    WChar("\uffff"),
    "",
    "é☃𝄞",
    "s" * 252,
    "s" * 253,
    "s" * 65531,
    "s" * 65532,
    b"",
    b"\x00\xff",
    bytes(253),
    bytes(254),
    bytes(65532),
    Destination("t/1"),
    Destination("q", Queue),
    Destination("tt", TopicTemp),
    Destination("#P2P/QUE/q", Queue),
    Destination("d" * 249),  # the longest name a field takes
    # SMF fields, and fields of the forms the library reads as UNKNOWN: a type it does not know,
    # a number, a destination and a container in length forms it never writes.
    Smf(b""),
    Smf(bytes(300)),
    UnknownField(b"\xfc\x02"),
    UnknownField(b"\x32\x00\x01\x07" + bytes(259)),
    UnknownField(b"\x09\x00\x07\x00\x00\x00\x05"),
    UnknownField(b"\x22\x00\x00\x05\x01"),
    UnknownField(b"\x29\x00\x04\x00"),
]


def nested(levels, leaf, kind=dict):
    """A value of levels maps (or lists) each holding the next, the innermost holding leaf."""
    value = {"leaf": leaf} if kind is dict else [leaf]
    for n in range(levels - 1):
        value = {f"l{n}": value} if kind is dict else [value]
    return value


EVERY_TYPE = {f"k{n}": value for n, value in enumerate(SCALARS)}
TREE = {"list": [1, [Int8(2), {"m": [b"\x01", None]}], {}], "map": {"empty": [], "d": Destination("x", Queue)}}

HEADERS = {
    "bare": {},
    "queue": dict(dest=Destination("q", Queue)),
    "p2p": dict(dest=Destination("#P2P/QUE/q", Queue)),
    "long topic": dict(dest=Destination("t/" * 124 + "xy")),
    "temporary": dict(dest=Destination("tt", TopicTemp), reply2=Destination("rt", TopicTemp)),
    "persistent": dict(
        delivery_mode=Persistent, ack_immediately=True, dmq_eligible=True, ttl=315_360_000_000, priority=255, cos=3
    ),
    "non-persistent": dict(delivery_mode=NonPersistent, ack_immediately=True, priority=0, cos=2, ttl=1),
    "direct": dict(delivery_mode=Direct, ack_immediately=True, dmq_eligible=True, ttl=0, cos=1, expiration=5),
    "reply": dict(is_reply=True, elide=True, reply2=Destination("r", Queue)),
    "request": dict(reply2=Destination("r/" * 124 + "st")),
    "empty ids": dict(
        correlation_id="",
        application_message_id="",
        application_message_type="",
        sender_id="",
        http_content_type="",
        http_content_encoding="",
        content_type="",
        user_data=b"",
    ),
    "ids": dict(
        correlation_id="c" * 300,
        application_message_id="é" * 200,
        application_message_type="t☃",
        sender_id="s" * 70_000,
        http_content_type="application/json",
        http_content_encoding="gzip",
        content_type="json",
        user_data=b"\x00\xff" * 18,
    ),
    "numbers": dict(sender_timestamp=0, sequence_number=2**64 - 1),
    "other numbers": dict(sender_timestamp=2**63 - 1, sequence_number=0),
    "everything": dict(
        dest=Destination("orders/eu/new"),
        reply2=Destination("replies", Queue),
        is_reply=True,
        elide=True,
        delivery_mode=Persistent,
        cos=3,
        dmq_eligible=True,
        ttl=60_000,
        priority=9,
        correlation_id="c",
        application_message_id="a",
        sender_timestamp=1_700_000_000_123,
        sequence_number=2**63 + 5,
        application_message_type="t",
        sender_id="s",
        http_content_type="text/plain",
        http_content_encoding="gzip",
        user_data=b"\x01" * 36,
        ack_immediately=True,
        content_type="ct",
    ),
}

PAYLOADS = {
    "none": {},
    "one byte": dict(body=b"\x00"),
    "body 255": dict(body=bytes(range(255))),
    "body 256": dict(body=bytes(256)),
    "body 64 KiB": dict(body=b"\xff" * 65536),
    "body 1 MiB": dict(body=bytes(MiB)),
    "body like a map": dict(body=bytes.fromhex("2b00000005")),
    "body like a text": dict(body=b"\x1c\x05ab\x00"),
    "empty text": dict(text=""),
    "text": dict(text="héllo ☃ 𝄞"),
    "text 300": dict(text="t" * 300),
    "text 70000": dict(text="t" * 70_000),
    "text 1 MiB": dict(text="t" * MiB),
    "empty map": dict(map={}),
    "empty stream": dict(stream=[]),
    "map of every type": dict(map=EVERY_TYPE),
    "stream of every type": dict(stream=SCALARS),
    "map tree": dict(map=TREE),
    "stream tree": dict(stream=[TREE, [[], [{}]]]),
    "map of 10000": dict(map={f"e{n}": n for n in range(10_000)}),
    "stream of 10000": dict(stream=list(range(10_000))),
    "map at the limit": dict(map=nested(MAX_DEPTH, 1)),
    "stream at the limit": dict(stream=nested(MAX_DEPTH, "x", list)),
    "xml": dict(xml=b"<order id='1042'>\xe9\x00</order>"),
    "xml beside a map": dict(xml=b"<x/>" * 100, map=TREE),
    "xml 1 MiB": dict(xml=bytes(MiB)),
    "json": dict(json={"order": 1042, "items": ["tea", {"n": None}], "f": 1.5}),
    "msgpack": dict(msgpack={"b": b"\x00", "n": [1, -1, 2**64 - 1]}),
}

PROPERTIES = {
    "none": None,
    "empty": {},
    "every type": EVERY_TYPE,
    "tree": TREE,
    "at the limit": nested(MAX_DEPTH, Int8(1)),
    "streams at the limit": {"s": nested(MAX_DEPTH - 1, 1, list)},
    "1000 entries": {f"p{n}": "v" for n in range(1000)},
    "odd names": {"é": 1, " ": 2, "\x01": 3, "x" * 1000: 4, "ct": "json"},
}

# Big enough that the library writes its lengths at their widest: 16 MiB and more.
HUGE_MESSAGES = {
    "huge property": dict(user_properties={"big": b"x" * HUGE, "after": 1}),
    "huge body with properties": dict(body=b"y" * HUGE, user_properties={"a": 1}),
    "huge map value": dict(map={"big": "z" * HUGE, "after": [1]}),
    "huge stream and ids": dict(stream=[b"s" * HUGE], correlation_id="c" * 100),
}


def build(**attributes):
    attributes.setdefault("dest", Destination("a/b"))
    if "json" in attributes or "msgpack" in attributes:
        attributes.pop("content_type", None)  # the codec sets its own
    if attributes.get("user_properties", {}) is None:
        del attributes["user_properties"]
    return ZelMsg.build(**attributes)


def messages(huge=True):
    """(name, message) pairs: every header with a small payload, every payload and property
    map under the fullest header, every property map with each payload form, some random
    mixes, and with huge, the messages past 16 MiB."""
    small = {"map": TREE, "user_properties": {"k": 1}}
    for name, header in HEADERS.items():
        yield f"header {name}", build(**header, **small)
    for name, payload in PAYLOADS.items():
        yield f"payload {name}", build(**HEADERS["everything"], **payload)
        yield f"payload {name}, bare", build(**payload)
    for name, properties in PROPERTIES.items():
        for form in ("none", "one byte", "text", "map tree", "stream tree"):
            yield f"properties {name}, {form}", build(user_properties=properties, **PAYLOADS[form])
    mixer = random.Random(20261209)
    light = [name for name in PAYLOADS if "MiB" not in name and "10000" not in name and "limit" not in name]
    for n in range(40):
        header, payload = mixer.choice(list(HEADERS)), mixer.choice(light)
        properties = mixer.choice(["none", "empty", "every type", "tree", "odd names"])
        yield f"mix {n}", build(**HEADERS[header], **PAYLOADS[payload], user_properties=PROPERTIES[properties])
    if huge:
        for name, attributes in HUGE_MESSAGES.items():
            yield name, build(**attributes)


def as_delivered(wire, **facts):
    """The encoding with the header parameters a broker adds (redelivered, topic_sequence_number,
    message_id), put after the 12-byte fixed header, which both lengths there count."""
    extra = b"".join(BROKER_PARAMETERS[fact](value) for fact, value in facts.items())
    header, total = struct.unpack(">II", wire[4:12])
    return wire[:4] + struct.pack(">II", header + len(extra), total + len(extra)) + extra + wire[12:]


DELIVERIES = [
    dict(redelivered=True),
    dict(topic_sequence_number=2**63 - 1, message_id=1),
    dict(redelivered=True, topic_sequence_number=-1, message_id=2**63 - 1),
]

# What the encoding carries, and so what a receiver reads as the sender wrote it.
CARRIED = [
    "dest",
    "reply2",
    "is_reply",
    "elide",
    "delivery_mode",
    "cos",
    "content_type",
    "dmq_eligible",
    "ttl",
    "correlation_id",
    "application_message_id",
    "sender_timestamp",
    "sequence_number",
    "application_message_type",
    "sender_id",
    "http_content_type",
    "http_content_encoding",
    "user_data",
    "body",
    "text",
    "map",
    "stream",
    "is_request",
    "is_p2p",
    "xml",
]
RECEIVED = ["redelivered", "topic_sequence_number", "message_id"]


def attributes(msg):
    """What a receiver reads of a message: typed values, in a form that same() compares."""
    seen = {name: getattr(msg, name) for name in CARRIED + RECEIVED + ["priority", "ack_immediately"]}
    seen["user_properties"] = dict(msg.user_properties.items())
    return seen


def expected(msg, **facts):
    """What a receiver of msg's encoding reads: a missing priority arrives as 4, ack-immediately
    only when the message is not Direct, a message id of 0 when not Direct, and the facts a
    broker added (to a Direct message: a guaranteed one has its own message id)."""
    direct = msg.delivery_mode == Direct
    seen = attributes(msg) | {
        "priority": 4 if msg.priority is None else msg.priority,
        "ack_immediately": msg.ack_immediately and not direct,
        "redelivered": False,
        "topic_sequence_number": None,
        "message_id": None if direct else 0,
    }  # a guaranteed message's id is its own
    return seen | facts


def same(left, right):
    """Whether two values are equal and of the same types all the way down: Int8(1) is not 1,
    and a float is the same by its bits, so that NaN and -0.0 compare. Iterative, so that
    nesting to the limit needs no deep recursion."""
    pending = [(left, right)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, dict):
            if list(a) != list(b):
                return False
            pending.extend((a[key], b[key]) for key in a)
        elif isinstance(a, list):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif isinstance(a, float):
            if struct.pack("<d", a) != struct.pack("<d", b):
                return False
        elif a != b:
            return False
    return True


def cases(huge=True):
    """(name, message, its bytes, what a broker added) for every message of the corpus, and
    for the Direct ones with a header of their own also as a broker delivers them."""
    for name, msg in messages(huge):
        wire = msg.to_smf()
        yield name, msg, wire, {}
        if name.startswith("header") and msg.delivery_mode == Direct:
            for facts in DELIVERIES:
                yield f"{name}, delivered with {', '.join(facts)}", msg, as_delivered(wire, **facts), facts


if __name__ == "__main__":
    for name, _, wire, _ in cases(huge="--huge" in sys.argv):
        print(f"{len(wire):>10} {name}")
