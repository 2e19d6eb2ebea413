"""Every attribute of zelmsg as typed code; CI checks it with mypy --strict."""

import copy
import pickle
from typing import Any

import zelmsg
from zelmsg import (
    DeliveryMode,
    Destination,
    DestinationType,
    Float32,
    Int8,
    ReplicationGroupMessageId,
    Smf,
    UInt64,
    UnknownField,
    WChar,
    ZelMsg,
)


def build_request(order: dict[str, Any]) -> ZelMsg:
    msg = ZelMsg()
    msg.dest = Destination("orders/eu/new")
    msg.reply2 = Destination(dest="order-replies", dest_type=DestinationType.Queue)
    msg.is_reply = False
    msg.delivery_mode = zelmsg.Persistent
    msg.content_type = "json"
    msg.elide = True
    msg.cos = 2
    msg.json = order
    msg.dmq_eligible = True
    msg.ttl = 60_000
    msg.priority = 7
    msg.correlation_id = "req-42"
    msg.application_message_id = None
    msg.sender_timestamp = 1_700_000_000_123
    msg.sequence_number = 2**63 + 5
    return msg


def describe(msg: ZelMsg) -> str:
    dest: Destination = msg.dest
    kind: DestinationType = dest.dest_type
    mode: DeliveryMode = msg.delivery_mode
    flags: tuple[bool, bool, bool, bool] = (msg.is_reply, msg.is_request, msg.is_p2p, msg.elide)
    cos: int = msg.cos
    payload: dict[str, Any] = msg.json
    return f"{dest.dest} {kind.name} {mode.value} {flags} {cos} {msg.content_type} {payload} {msg.reply2.dest}"


def rest_of_header(msg: ZelMsg) -> tuple[bool, int, int | None, str | None, str | None, int | None, int | None]:
    return (
        msg.dmq_eligible,
        msg.ttl,
        msg.priority,
        msg.correlation_id,
        msg.application_message_id,
        msg.sender_timestamp,
        msg.sequence_number,
    )


def as_text(msg: ZelMsg, text: str) -> str | None:
    msg.text = text
    return msg.text


def as_msgpack(msg: ZelMsg, payload: dict[Any, Any]) -> tuple[dict[Any, Any], bytes]:
    msg.msgpack = payload
    encoded: bytes = msg.body
    msg.body = encoded
    return msg.msgpack, encoded


def with_properties(msg: ZelMsg) -> dict[str, Any]:
    msg.user_properties = {"region": "eu", "retries": Int8(2), "weight": Float32(1.5), "grade": WChar("A")}
    msg.user_properties["tags"] = ["new", {"big": UInt64(2**64 - 1)}]
    del msg.user_properties["region"]
    msg.map = {"order": 1042, "lines": [1, 2]}
    stream: list[Any] | None = msg.stream
    assert stream is None and "tags" in msg.user_properties
    return dict(msg.user_properties)


def received(wire: bytes) -> tuple[bool, int | None, int | None, str | None, ZelMsg]:
    msg = ZelMsg.from_smf(wire)
    msg.sender_id, msg.application_message_type, msg.user_data = "me", "order", b"\x01"
    msg.http_content_type, msg.http_content_encoding, msg.expiration = "text/plain", None, 0
    msg.ack_immediately = True
    facts = (
        msg.redelivered or msg.discard_indication,
        msg.delivery_count,
        msg.message_id,
        msg.replication_group_message_id,
    )
    return (*facts, copy.deepcopy(msg))


def the_rest(msg: ZelMsg, rmid_text: str) -> tuple[bytes | None, bytes | None, str, int]:
    msg.xml, msg.correlation_tag = b"<order id='1042'/>", b"send-7"
    msg.user_properties["kept"] = [Smf(b"\x03"), UnknownField(b"\x30\x03\x01")]
    whole: str = msg.dump() + msg.dump(brief=True)
    rmid = ReplicationGroupMessageId(rmid_text)
    order: int = rmid.compare(ReplicationGroupMessageId(str(rmid)))
    read = msg.xml, msg.correlation_tag
    msg.reset()
    return (*read, whole, order + hash(rmid))


if __name__ == "__main__":
    message = build_request({"order": 1042})
    print(describe(message), rest_of_header(message), as_msgpack(message, {"order": 1042}), repr(message)[:11])
    print(as_text(message, "hello"), Destination("orders") == message.dest)
    print(
        int(zelmsg.NonPersistent) | int(zelmsg.Direct),
        zelmsg.Topic < zelmsg.Queue,
        zelmsg.Null,
        zelmsg.TopicTemp,
        zelmsg.QueueTemp,
    )
    print(with_properties(message), zelmsg.__version__, zelmsg.library_version())
    print(the_rest(message, "rmid1:01020-30405060708-090a0b0c-0d0e0f10")[:2])
    built = ZelMsg.build(dest=Destination("orders/eu/new"), delivery_mode=zelmsg.Persistent, json={"order": 1})
    if "stand-in" not in zelmsg.library_version()[2]:  # the wire encoding is the genuine library's
        print(received(built.to_smf()), pickle.loads(pickle.dumps(built)).json)
