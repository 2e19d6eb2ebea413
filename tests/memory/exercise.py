"""Every ZelMsg attribute and the message lifecycle, for a leak checker to watch
(scripts/test-valgrind runs it under valgrind's memcheck).

Each round writes and reads every property with accepted, refused and wrong-typed values,
decodes payloads the codecs refuse, dumps messages whole and cut, makes and drops messages
(in a reference cycle too), and, on the stand-in, makes each library call fail once in
turn. Run several rounds, a leak shows as a loss repeated once per round.

    python tests/memory/exercise.py [ROUNDS]     (default 5)
"""

import collections.abc
import copy
import ctypes
import gc
import pickle
import sys

import msgpack
import orjson
import zelmsg
from zelmsg import DeliveryMode, Destination, DestinationType

PAYLOAD = {
    "order": 1042,
    "items": ["tea", "scones"],
    "paid": True,
    "note": "x" * 300,
    "total": 12.5,
    "nested": {"a": [1, 2, {"b": None}]},
}
LIBRARY_CALLS = [
    "solClient_msg_alloc",
    "solClient_msg_dump",
    "solClient_msg_getDestination",
    "solClient_msg_setDestination",
    "solClient_msg_getReplyTo",
    "solClient_msg_setReplyTo",
    "solClient_msg_isReplyMsg",
    "solClient_msg_setAsReplyMsg",
    "solClient_msg_isElidingEligible",
    "solClient_msg_setElidingEligible",
    "solClient_msg_getDeliveryMode",
    "solClient_msg_setDeliveryMode",
    "solClient_msg_getClassOfService",
    "solClient_msg_setClassOfService",
    "solClient_msg_getBinaryAttachmentPtr",
    "solClient_msg_setBinaryAttachment",
    "solClient_msg_getUserPropertyMap",
    "solClient_msg_createUserPropertyMap",
    "solClient_container_getStringPtr",
    "solClient_container_addString",
    "solClient_msg_getHttpContentType",
    "solClient_msg_isDMQEligible",
    "solClient_msg_setDMQEligible",
    "solClient_msg_getTimeToLive",
    "solClient_msg_setTimeToLive",
    "solClient_msg_getPriority",
    "solClient_msg_setPriority",
    "solClient_msg_getCorrelationId",
    "solClient_msg_setCorrelationId",
    "solClient_msg_deleteCorrelationId",
    "solClient_msg_getApplicationMessageId",
    "solClient_msg_setApplicationMessageId",
    "solClient_msg_deleteApplicationMessageId",
    "solClient_msg_getSenderTimestamp",
    "solClient_msg_setSenderTimestamp",
    "solClient_msg_deleteSenderTimestamp",
    "solClient_msg_getSequenceNumber",
    "solClient_msg_setSequenceNumber",
    "solClient_msg_deleteSequenceNumber",
    "solClient_msg_getBinaryAttachmentString",
    "solClient_msg_setBinaryAttachmentString",
    "solClient_msg_setUserPropertyMap",
    "solClient_container_createMap",
    "solClient_container_createStream",
    "solClient_container_addContainer",
    "solClient_container_addInt64",
    "solClient_container_addString",
    "solClient_container_addByteArray",
    "solClient_container_addInt8",
    "solClient_container_getField",
    "solClient_container_getNextField",
    "solClient_container_rewind",
    "solClient_container_deleteField",
    "solClient_container_closeMapStream",
    "solClient_msg_getBinaryAttachmentMap",
    "solClient_msg_getBinaryAttachmentStream",
    "solClient_msg_setBinaryAttachmentContainer",
    "solClient_msg_getSenderId",
    "solClient_msg_setSenderId",
    "solClient_msg_deleteSenderId",
    "solClient_msg_getExpiration",
    "solClient_msg_setExpiration",
    "solClient_msg_isAckImmediately",
    "solClient_msg_getUserDataPtr",
    "solClient_msg_setUserData",
    "solClient_msg_isRedelivered",
    "solClient_msg_getDeliveryCount",
    "solClient_msg_getReplicationGroupMessageId",
    "solClient_replicationGroupMessageId_toString",
    "solClient_msg_dup",
    "solClient_msg_encodeToSMF",
    "solClient_msg_decodeFromSmf",
    "solClient_msg_setXml",
    "solClient_msg_getXmlPtr",
    "solClient_msg_setCorrelationTag",
    "solClient_msg_getCorrelationTagPtr",
    "solClient_msg_dumpExt",
    "solClient_msg_reset",
    "solClient_replicationGroupMessageId_fromString",
    "solClient_replicationGroupMessageId_compare",
    "solClient_container_addSmf",
    "solClient_container_addUnknownField",
]
FIELDS = {
    "i": 1,
    "big": 2**64 - 1,
    "f": 1.5,
    "s": "text",
    "b": b"\x00" * 50,
    "n": None,
    "t": True,
    "typed": [zelmsg.Int8(-1), zelmsg.UInt32(7), zelmsg.Float32(0.5), zelmsg.WChar("x")],
    "d": Destination("q", zelmsg.Queue),
    "nested": {"l": [1, {"m": (2, 3)}], "e": {}},
}
REST = {
    "dmq_eligible": True,
    "ttl": 60_000,
    "priority": 7,
    "correlation_id": "req-42",
    "application_message_id": "app-7",
    "sender_timestamp": 1_700_000_000_123,
    "sequence_number": 2**63 + 5,
    "text": "hello " * 50,
}


def stand_in_control():
    """The loaded libsolclient when it is the stand-in, whose test control can make calls
    fail; None on the genuine library."""
    with open("/proc/self/maps") as maps:
        path = next(line.split()[-1] for line in maps if "libsolclient" in line)
    library = ctypes.CDLL(path)
    if not hasattr(library, "standin_fail_next"):
        return None
    library.standin_fail_next.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    library.standin_reset.argtypes = []
    return library


def raises(error, function, *args):
    try:
        function(*args)
    except error:
        return
    raise AssertionError(f"{function.__name__}{args!r} did not raise {error.__name__}")


def touch_everything(msg):
    """One read and one write of every property, whatever the library answers."""
    msg.dest, msg.reply2 = Destination("d"), Destination("r", zelmsg.Queue)
    msg.is_reply, msg.elide = True, True
    msg.delivery_mode, msg.cos, msg.content_type = zelmsg.Persistent, 2, "text/plain"
    msg.body = b"body"
    for name, value in REST.items():
        setattr(msg, name, value)
    for name in (
        "dest",
        "reply2",
        "is_reply",
        "elide",
        "is_request",
        "is_p2p",
        "delivery_mode",
        "cos",
        "content_type",
        "body",
        *REST,
    ):
        getattr(msg, name)
    msg.json = PAYLOAD
    try:
        msg.json
    except Exception:  # noqa: BLE001 (a failed library read may leave no valid payload)
        pass
    msg.msgpack = PAYLOAD
    try:
        msg.msgpack
    except Exception:  # noqa: BLE001
        pass
    for name in ("sender_id", "expiration", "user_data", "redelivered", "replication_group_message_id"):
        getattr(msg, name)
    msg.sender_id, msg.expiration, msg.user_data = "s", 5, b"u"
    for make in (copy.copy, lambda m: m.to_smf()):
        try:
            make(msg)
        except ValueError:  # a copy the library refused; the stand-in's wire encoding
            pass
    # Library refusals of the containers raise.
    for write, read in (
        (lambda: setattr(msg, "user_properties", FIELDS), lambda: dict(msg.user_properties)),
        (lambda: msg.user_properties.__setitem__("x", FIELDS), lambda: msg.user_properties.get("x")),
        (lambda: setattr(msg, "map", FIELDS), lambda: msg.map),
        (lambda: setattr(msg, "stream", list(FIELDS.values())), lambda: msg.stream),
    ):
        for access in (write, read):
            try:
                access()
            except ValueError:
                pass
    repr(msg)


def header(msg):
    for dest in (
        Destination("orders/eu/new"),
        Destination("q", zelmsg.Queue),
        Destination("t", zelmsg.TopicTemp),
        Destination("qt", DestinationType.QueueTemp),
        Destination("n" * 250),
        Destination("n" * 251),
        Destination(""),
        Destination("x", zelmsg.Null),
        Destination("#P2P/v:1"),
    ):
        msg.dest = dest
        read = msg.dest
        read.dest, read.dest_type, msg.is_p2p
        msg.reply2 = dest
        read = msg.reply2
        read.dest = "changed"
        read.dest_type = zelmsg.Queue
        msg.is_request
    raises(ValueError, setattr, msg, "dest", Destination("cut\0here"))
    raises(ValueError, setattr, msg, "reply2", Destination("cut\0here"))
    for flag in (True, False, 1, 0):
        msg.is_reply, msg.elide = flag, flag
        msg.is_reply, msg.elide, msg.is_request
    for mode in DeliveryMode.__members__.values():
        msg.delivery_mode = mode
        msg.delivery_mode
    for cos in (1, 2, 3, 0, 4, 2**32 - 1):
        msg.cos = cos
        msg.cos
    raises(TypeError, setattr, msg, "cos", -1)
    raises(TypeError, setattr, msg, "cos", 2**32)
    raises(TypeError, setattr, msg, "cos", "2")
    raises(TypeError, setattr, msg, "delivery_mode", 16)
    raises(TypeError, setattr, msg, "dest", "orders")
    raises(TypeError, setattr, msg, "is_reply", "yes")
    raises(AttributeError, setattr, msg, "is_request", True)
    raises(TypeError, Destination, 5)
    raises(TypeError, Destination, "d", 1)


def rest_of_header(msg):
    for name, value in REST.items():
        for written in (value, None if name not in ("dmq_eligible", "ttl") else 0, value):
            setattr(msg, name, written)
            getattr(msg, name)
    for ttl in (-1, 315_360_000_001):
        msg.ttl = ttl
    for priority in (256, -2, -1):
        raises(TypeError, setattr, msg, "priority", priority)
    for name in ("correlation_id", "application_message_id", "text"):
        raises(ValueError, setattr, msg, name, "cut\0here")
        raises(TypeError, setattr, msg, name, 5)
        setattr(msg, name, "é" * 1000)
        getattr(msg, name)
    raises(TypeError, setattr, msg, "sequence_number", -1)
    raises(TypeError, setattr, msg, "ttl", None)
    raises(ValueError, setattr, msg, "body", b"\x1c\x02")  # a structured string without its NUL
    msg.body = b"\x2bjust bytes"  # starts like a map, but is none
    msg.text, msg.map


def payloads(msg):
    for text in ("application/json", "", "é" * 100):
        msg.content_type = text
        msg.content_type
    raises(TypeError, setattr, msg, "content_type", 5)
    raises(ValueError, setattr, msg, "content_type", "a\0b")
    for body in (b"bytes\0with a nul" * 100, b"", bytes(range(256)) * 40):
        msg.body = body
        msg.body
    raises(TypeError, setattr, msg, "body", "text")
    raises(TypeError, setattr, msg, "body", bytearray(b"x"))

    msg.json = PAYLOAD
    msg.json, msg.content_type, msg.body
    msg.msgpack = PAYLOAD
    msg.msgpack, msg.content_type
    raises(TypeError, setattr, msg, "json", {"x": object()})
    raises(TypeError, setattr, msg, "msgpack", {"x": object()})
    raises(TypeError, setattr, msg, "json", [1, 2])
    # Payloads the codecs refuse to decode, or decode to something other than a dict.
    for body in (b"{not json", b"\xc1", orjson.dumps([1, 2]), b""):
        msg.body = body
        raises(Exception, getattr, msg, "json")
    msg.body = msgpack.dumps([1, 2])
    msg.msgpack
    msg.body = b"\xc1"
    raises(Exception, getattr, msg, "msgpack")


def structured(msg):
    msg.user_properties = FIELDS
    view = msg.user_properties
    dict(view), view.items(), list(view), len(view), view["nested"], "zz" in view, view.get("zz")
    view["extra"] = {"a": [1, 2]}
    del view["extra"]
    view.update(u=1)
    view.pop("u")
    raises(KeyError, view.__getitem__, "zz")
    for bad in ({1: 2}, {"": 1}, {"a\0": 1}, {"x": object()}, {"x": 2**64}, {"x": {"y": {1, 2}}}):
        raises((TypeError, ValueError, OverflowError), setattr, msg, "user_properties", bad)
        raises((TypeError, ValueError, OverflowError), setattr, msg, "map", bad)
        raises((TypeError, ValueError, OverflowError), view.__setitem__, "k", bad)
    looped = []
    looped.append(looped)
    raises(ValueError, setattr, msg, "stream", looped)
    raises(OverflowError, zelmsg.Int8, 1000)
    msg.map = FIELDS
    msg.map, msg.body
    msg.stream = list(FIELDS.values())
    msg.stream, msg.map
    msg.map = None
    view.clear()
    repr(msg)


def every_property_given_and_removed(msg, donor):
    """Each writable property takes what another message reads, then None; whatever the
    library answers, read back each time."""
    for name, value in vars(zelmsg.ZelMsg).items():
        if isinstance(value, property) and value.fset is not None:
            for written in (lambda: getattr(donor, name), lambda: None):
                try:
                    setattr(msg, name, written())
                    getattr(msg, name)
                except Exception:  # noqa: BLE001 (a refusal, or a body its codec cannot read)
                    pass


def received_and_copies(msg):
    every_property_given_and_removed(msg, copy.copy(msg))
    raises(ValueError, setattr, msg, "user_data", b"x" * 37)
    raises(ValueError, setattr, msg, "sender_id", "a\0b")
    for name in (
        "redelivered",
        "delivery_count",
        "receive_timestamp",
        "topic_sequence_number",
        "message_id",
        "replication_group_message_id",
        "discard_indication",
    ):
        getattr(msg, name)
    msg.map = FIELDS
    copy.copy(msg), copy.deepcopy(msg)
    built = zelmsg.ZelMsg.build(dest=Destination("a/b"), user_properties=FIELDS, json=PAYLOAD, cos=2)
    raises(TypeError, lambda: zelmsg.ZelMsg.build(nope=1))
    raises(TypeError, lambda: zelmsg.ZelMsg.build(dest=Destination("a"), cos="x"))
    raises(ValueError, copy.copy, zelmsg.ZelMsg.__new__(zelmsg.ZelMsg))
    try:  # the wire encoding is the genuine library's; the stand-in refuses it
        wire = built.to_smf()
        zelmsg.ZelMsg.from_smf(wire), pickle.loads(pickle.dumps(built))
        raises(ValueError, zelmsg.ZelMsg.from_smf, wire[:-3])
    except ValueError:
        pass
    raises(ValueError, zelmsg.ZelMsg().to_smf)
    raises(ValueError, zelmsg.ZelMsg.from_smf, b"garbage")


class Spoiler(collections.abc.Mapping):
    """Frees the values given before it while it is converted."""

    def __init__(self, *earlier):
        self.earlier = earlier

    def __getitem__(self, key):
        raise KeyError(key)

    def __len__(self):
        return 1

    def __iter__(self):
        return iter(["s"])

    def items(self):
        for value in self.earlier:
            if isinstance(value, bytearray):
                value.clear()
            elif isinstance(value, memoryview):
                value.release()
            else:
                value.dest = "x" * 300
        yield "s", 1


class Eager(zelmsg.ZelMsg):
    def __new__(cls):
        made = super().__new__(cls)
        made.dest  # noqa: B018 (reaches the native storage early)
        return made


class Slotted(zelmsg.ZelMsg):
    __slots__ = ("note", "__dict__")


def hostile(msg):
    spoilt = [bytearray(b"b" * 1000), memoryview(b"m" * 100), Destination("d" * 100)]
    msg.user_properties = {"a": spoilt[0], "b": spoilt[1], "c": spoilt[2], "s": Spoiler(*spoilt)}
    spoilt = [bytearray(b"b" * 1000), memoryview(b"m" * 100), Destination("d" * 100)]
    msg.stream = [*spoilt, Spoiler(*spoilt)]
    released = memoryview(b"x")
    released.release()
    raises(ValueError, msg.user_properties.__setitem__, "r", released)
    raises(ValueError, msg.user_properties.__setitem__, "d", Destination("x" * 300))
    view = msg.user_properties
    view.setdefault("n", 1), view.pop("zz", None), view.popitem(), "\ud800" in view
    raises(KeyError, view.pop, "zz")
    raises(TypeError, copy.copy, view)
    msg.reply2 = Destination("r" * 300)
    msg.reply2 = None
    msg.correlation_id = b"\xff"
    raises(ValueError, getattr, msg, "correlation_id")
    repr(msg)
    raises(ValueError, setattr, msg, "text", "x\udc80")
    raises(TypeError, msg.__setstate__, ((True, 2**70, False, False, None), None))
    raises(TypeError, msg.to_smf, 1)
    eager = Eager.build(body=b"e")
    copy.copy(eager), copy.deepcopy(eager)
    slotted = Slotted.build(body=b"s")
    slotted.note, slotted.extra = [1], {"e": 2}
    copy.copy(slotted), copy.deepcopy(slotted)
    slotted.view = slotted.user_properties  # a cycle the collector frees
    del slotted
    gc.collect()


def rest_of_message(msg):
    msg.xml, msg.correlation_tag = b"<x/>" * 100, b"tag"
    msg.xml, msg.correlation_tag  # noqa: B018
    raises(TypeError, setattr, msg, "xml", "text")
    msg.user_properties = {"s": zelmsg.Smf(b"\x01" * 50), "u": zelmsg.UnknownField(b"\x30\x02")}
    msg.stream = [zelmsg.Smf(b""), zelmsg.UnknownField(b"\x0d\x00\x04\x07")]
    dict(msg.user_properties), msg.stream
    raises(ValueError, zelmsg.UnknownField, b"\x08\x03\x05")
    msg.dump(), msg.dump(brief=True)
    raises(TypeError, msg.dump, 1, 2)
    view = msg.user_properties
    view["s"]  # noqa: B018 (the view keeps the map open)
    msg.reset()
    dict(view), view.setdefault("k", 1)
    del view
    rmid = zelmsg.ReplicationGroupMessageId("rmid1:01020-30405060708-090a0b0c-0d0e0f10")
    str(rmid), repr(rmid), hash(rmid), rmid.compare(rmid), pickle.loads(pickle.dumps(rmid))
    raises(ValueError, zelmsg.ReplicationGroupMessageId, "garbage")
    raises(ValueError, rmid.compare, zelmsg.ReplicationGroupMessageId("rmid1:11020-30405060708-090a0b0c-0d0e0f10"))
    raises(ValueError, zelmsg.ZelMsg.__new__(zelmsg.ZelMsg).reset)


def dumps(msg):
    repr(msg)
    msg.dest = Destination("é/" * 120)
    msg.body = bytes(range(256)) * 40  # longer than the dump buffer: the dump is cut
    repr(msg)
    repr(zelmsg.ZelMsg())
    unset = zelmsg.ZelMsg.__new__(zelmsg.ZelMsg)  # holds no message
    touch_everything(unset)


def lifecycle(control):
    messages = [zelmsg.ZelMsg() for _ in range(50)]
    for msg in messages:
        msg.json = PAYLOAD
    del messages
    # A message kept alive by a reference cycle, freed by the collector.
    cycle = [zelmsg.ZelMsg()]
    cycle.append(cycle)
    del cycle
    gc.collect()
    raises(TypeError, zelmsg.ZelMsg, 1)
    if control is not None:
        # Each library call failing once: the message must still release all it took.
        for call in LIBRARY_CALLS:
            control.standin_fail_next(call.encode(), -1, 1)
            msg = zelmsg.ZelMsg()
            touch_everything(msg)
            del msg
        control.standin_reset()


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    control = stand_in_control()
    for _ in range(rounds):
        msg = zelmsg.ZelMsg()
        header(msg)
        rest_of_header(msg)
        payloads(msg)
        structured(msg)
        received_and_copies(msg)
        hostile(msg)
        rest_of_message(msg)
        dumps(msg)
        touch_everything(msg)
        del msg
        lifecycle(control)
    gc.collect()
    print(f"exercise: {rounds} rounds done{' on the stand-in' if control else ''}")


if __name__ == "__main__":
    main()
